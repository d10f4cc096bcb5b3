#include "runtime/authn/jwt.h"

#include "runtime/authn/es256.h"
#include "runtime/ruvo/json/json_reader.h"

namespace Brim::Authn {

namespace {

// Headers and claims are flat; a deeply nested one is not a token of ours.
constexpr int kMaxJsonDepth = 8;

bool DecodeObject(std::string_view part, size_t maxBytes, nlohmann::json &out)
{
   std::string text;
   std::string reason;
   if (!Base64UrlDecode(part, text)) {
      return false;
   }
   Ruvo::Protocol::Json::Limits limits{maxBytes, kMaxJsonDepth};
   return Ruvo::Protocol::Json::ReadDocument(text, limits, out, reason) && out.is_object();
}

} // namespace

bool ParseCompactJwt(std::string_view token, size_t maxBytes, CompactJwt &out, std::string &reason)
{
   if (token.size() > maxBytes) {
      reason = "token larger than " + std::to_string(maxBytes) + " bytes";
      return false;
   }
   size_t first = token.find('.');
   size_t second = first == std::string_view::npos ? first : token.find('.', first + 1);
   if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
      reason = "token is not three dot-separated parts";
      return false;
   }
   std::string_view header = token.substr(0, first);
   std::string_view claims = token.substr(first + 1, second - first - 1);
   std::string_view signature = token.substr(second + 1);
   if (header.empty() || claims.empty()) {
      reason = "token has an empty part";
      return false;
   }
   if (!DecodeObject(header, maxBytes, out.header)) {
      reason = "token header is not a base64url JSON object";
      return false;
   }
   if (!DecodeObject(claims, maxBytes, out.claims)) {
      reason = "token claims are not a base64url JSON object";
      return false;
   }
   if (!Base64UrlDecode(signature, out.signature)) {
      reason = "token signature is not base64url";
      return false;
   }
   out.signingInput.assign(token.substr(0, second));
   return true;
}

} // namespace Brim::Authn
