#include "runtime/authn/token_minter.h"

#include <openssl/rand.h>

#include "runtime/authn/api_token.h"
#include "runtime/authn/token_handler.h"

namespace Brim::Authn {

bool SignCompactJwt(EVP_PKEY *privateKey, const nlohmann::json &header,
                    const nlohmann::json &claims, std::string &token)
{
   std::string input = Base64UrlEncode(header.dump()) + "." + Base64UrlEncode(claims.dump());
   std::string signature;
   if (!SignEs256(privateKey, input, signature)) {
      return false;
   }
   token = input + "." + Base64UrlEncode(signature);
   return true;
}

bool MintApiToken(EVP_PKEY *privateKey, const MintSpec &spec, std::string &token,
                  std::string &error)
{
   if (spec.lifetimeSec <= 0) {
      error = "the token lifetime must be positive";
      return false;
   }
   unsigned char id[16];
   if (RAND_bytes(id, sizeof id) != 1) {
      error = "no random bytes for the token id";
      return false;
   }
   int64_t now = spec.now != 0 ? spec.now : SystemSeconds();
   nlohmann::json claims = {
       {"aud", kApiTokenAudience},
       {"sub", spec.subject},
       {"iat", now},
       {"nbf", now},
       {"exp", now + spec.lifetimeSec},
       {"jti", Base64UrlEncode(std::string(reinterpret_cast<const char *>(id), sizeof id))},
       {kPrivilegesClaim, spec.privileges},
   };
   if (!SignCompactJwt(privateKey, {{"alg", "ES256"}, {"typ", "JWT"}}, claims, token)) {
      error = "cannot sign the token (is the key an ES256 private key?)";
      return false;
   }
   return true;
}

} // namespace Brim::Authn
