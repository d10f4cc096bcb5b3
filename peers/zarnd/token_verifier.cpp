#include "peers/zarnd/token_verifier.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "runtime/hostlib/base64.h"
#include "runtime/ruvo/json/json_reader.h"

namespace Zarnd {
namespace {

constexpr Ruvo::Protocol::Json::Limits kJsonLimits{kMaxTokenBytes, 8};

bool ReadJsonObject(const std::string &text, nlohmann::json &doc)
{
   std::string reason;
   return Ruvo::Protocol::Json::ReadDocument(text, kJsonLimits, doc, reason) && doc.is_object();
}

bool ReadInt(const nlohmann::json &doc, const char *name, int64_t &out, bool &present)
{
   auto it = doc.find(name);
   present = it != doc.end();
   if (!present) {
      return true;
   }
   if (!it->is_number_integer()) {
      return false;
   }
   out = it->get<int64_t>();
   return true;
}

} // namespace

bool TokenClaims::MayUse(const std::string &provider) const
{
   return allProviders ||
          std::find(providers.begin(), providers.end(), provider) != providers.end();
}

bool SplitToken(std::string_view token, TokenParts &parts)
{
   if (token.empty() || token.size() > kMaxTokenBytes) {
      return false;
   }
   size_t first = token.find('.');
   if (first == std::string_view::npos) {
      return false;
   }
   size_t second = token.find('.', first + 1);
   if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
      return false;
   }
   parts.signingInput = std::string(token.substr(0, second));
   return Hostlib::Base64UrlDecode(token.substr(0, first), parts.header) &&
          Hostlib::Base64UrlDecode(token.substr(first + 1, second - first - 1), parts.payload) &&
          Hostlib::Base64UrlDecode(token.substr(second + 1), parts.signature);
}

bool ReadClaims(const std::string &payloadJson, TokenClaims &claims, int64_t &notBefore,
                bool &hasNotBefore, std::vector<std::string> &audiences, std::string &reason)
{
   nlohmann::json doc;
   if (!ReadJsonObject(payloadJson, doc)) {
      reason = "claims are not a JSON object";
      return false;
   }
   bool hasExp = false;
   if (!ReadInt(doc, "exp", claims.expires, hasExp) || !hasExp) {
      reason = "exp missing or not an integer";
      return false;
   }
   if (!ReadInt(doc, "nbf", notBefore, hasNotBefore)) {
      reason = "nbf not an integer";
      return false;
   }
   if (auto sub = doc.find("sub"); sub != doc.end()) {
      if (!sub->is_string()) {
         reason = "sub not a string";
         return false;
      }
      claims.subject = sub->get<std::string>();
   }
   audiences.clear();
   if (auto aud = doc.find("aud"); aud != doc.end()) {
      if (aud->is_string()) {
         audiences.push_back(aud->get<std::string>());
      } else if (aud->is_array()) {
         for (const auto &a : *aud) {
            if (!a.is_string()) {
               reason = "aud not a list of strings";
               return false;
            }
            audiences.push_back(a.get<std::string>());
         }
      } else {
         reason = "aud not a string";
         return false;
      }
   }
   claims.providers.clear();
   claims.allProviders = false;
   if (auto providers = doc.find("providers"); providers != doc.end()) {
      if (providers->is_string()) {
         claims.providers.push_back(providers->get<std::string>());
      } else if (providers->is_array()) {
         for (const auto &p : *providers) {
            if (!p.is_string()) {
               reason = "providers not a list of strings";
               return false;
            }
            claims.providers.push_back(p.get<std::string>());
         }
      } else {
         reason = "providers not a list";
         return false;
      }
      claims.allProviders = std::find(claims.providers.begin(), claims.providers.end(), "*") !=
                            claims.providers.end();
   }
   return true;
}

std::shared_ptr<TokenVerifier> TokenVerifier::Load(const std::vector<std::string> &publicKeyFiles,
                                                   std::string audience, std::string &error)
{
   std::vector<std::string> pems;
   for (const auto &file : publicKeyFiles) {
      std::ifstream in(file);
      if (!in) {
         error = "cannot read token key file " + file;
         return nullptr;
      }
      std::ostringstream text;
      text << in.rdbuf();
      pems.push_back(text.str());
   }
   auto verifier = FromPem(pems, std::move(audience), error);
   if (!verifier) {
      error += publicKeyFiles.empty() ? "" : " (" + publicKeyFiles.front() + "...)";
   }
   return verifier;
}

std::shared_ptr<TokenVerifier> TokenVerifier::FromPem(const std::vector<std::string> &publicKeyPems,
                                                      std::string audience, std::string &error)
{
   if (publicKeyPems.empty()) {
      error = "no token key";
      return nullptr;
   }
   std::shared_ptr<TokenVerifier> verifier(new TokenVerifier());
   verifier->mAudience = std::move(audience);
   for (const auto &pem : publicKeyPems) {
      Brim::Authn::EcKeyPtr key;
      std::string reason;
      if (!Brim::Authn::ParseEs256PublicKey(pem, key, reason)) {
         error = "token key is not an EC P-256 public key";
         return nullptr;
      }
      verifier->mKeys.push_back(std::move(key));
   }
   return verifier;
}

bool TokenVerifier::CheckSignature(const TokenParts &parts) const
{
   return std::any_of(mKeys.begin(), mKeys.end(), [&](const Brim::Authn::EcKeyPtr &key) {
      return Brim::Authn::VerifyEs256(key.get(), parts.signingInput, parts.signature);
   });
}

bool TokenVerifier::Verify(std::string_view token, int64_t now, TokenClaims &claims,
                           std::string &reason) const
{
   TokenParts parts;
   if (!SplitToken(token, parts)) {
      reason = "malformed token";
      return false;
   }
   nlohmann::json header;
   if (!ReadJsonObject(parts.header, header)) {
      reason = "malformed token header";
      return false;
   }
   // The algorithm is ours to choose, never the token's: anything but ES256 (none,
   // HMAC with the public key as secret, ...) is refused before any check.
   auto alg = header.find("alg");
   if (alg == header.end() || !alg->is_string() || alg->get<std::string>() != "ES256") {
      reason = "token algorithm is not ES256";
      return false;
   }
   if (header.contains("crit")) {
      reason = "token has critical header parameters";
      return false;
   }
   if (!CheckSignature(parts)) {
      reason = "token signature does not verify";
      return false;
   }
   int64_t notBefore = 0;
   bool hasNotBefore = false;
   std::vector<std::string> audiences;
   if (!ReadClaims(parts.payload, claims, notBefore, hasNotBefore, audiences, reason)) {
      return false;
   }
   // Written so that no claim value can overflow the arithmetic.
   if (now - kClockSkewSec >= claims.expires) {
      reason = "token expired";
      return false;
   }
   if (hasNotBefore && now + kClockSkewSec < notBefore) {
      reason = "token not yet valid";
      return false;
   }
   if (!mAudience.empty() &&
       std::find(audiences.begin(), audiences.end(), mAudience) == audiences.end()) {
      reason = "token is for another audience";
      return false;
   }
   return true;
}

} // namespace Zarnd
