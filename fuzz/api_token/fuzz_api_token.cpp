// Access tokens come from any caller of the TCP API: the token handler must
// refuse garbage without crashing, accept nothing it cannot verify, and the
// base64url reader must keep one canonical text per byte string.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <openssl/ec.h>
#include <openssl/evp.h>

#include "runtime/authn/jwt.h"
#include "runtime/authn/token_handler.h"

namespace {

Brim::Authn::TokenHandler &Handler()
{
   // A key nobody holds: no fuzz input can carry a valid signature.
   static Brim::Authn::TokenHandler handler(
       Brim::Authn::EcKeyPtr(EVP_EC_gen("P-256"), EVP_PKEY_free), nullptr,
       [] { return int64_t{1800000000}; });
   return handler;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::string text(reinterpret_cast<const char *>(data), size);

   Ruvo::Core::SecurityContext security;
   security.SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   security.SetAccessToken(Ruvo::SecretString(text));
   Ruvo::Authn::AuthnOutcome outcome = Handler().Check(security);
   if (!outcome.error || outcome.result) {
      abort();
   }

   Brim::Authn::CompactJwt jwt;
   std::string reason;
   if (Brim::Authn::ParseCompactJwt(text, Brim::Authn::kMaxApiTokenBytes, jwt, reason) &&
       (!jwt.header.is_object() || !jwt.claims.is_object() ||
        jwt.signingInput.size() >= text.size())) {
      abort();
   }

   std::string decoded;
   if (Brim::Authn::Base64UrlDecode(text, decoded) &&
       Brim::Authn::Base64UrlEncode(decoded) != text) {
      abort();
   }
   return 0;
}
