// Test tokens as an attestation service would issue them, signed with a key the
// test made.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "runtime/authn/es256.h"
#include "runtime/hostlib/base64.h"

namespace ZarnaTesting {

inline int64_t NowSeconds()
{
   return std::chrono::duration_cast<std::chrono::seconds>(
              std::chrono::system_clock::now().time_since_epoch())
       .count();
}

// Raw r||s (64 bytes) of an ES256 signature.
inline std::string SignEs256(EVP_PKEY *key, const std::string &input)
{
   std::string raw;
   if (!Brim::Authn::SignEs256(key, input, raw)) {
      throw std::runtime_error("sign");
   }
   return raw;
}

// Claims a valid token carries, for `providers` (a list, or "*").
inline nlohmann::json TokenClaimsFor(nlohmann::json providers,
                                     const std::string &audience = "zarnd-test",
                                     int64_t lifetime = 3600)
{
   int64_t now = NowSeconds();
   return {{"iss", "attestd-test"},
           {"sub", "host-under-test"},
           {"aud", audience},
           {"iat", now},
           {"nbf", now},
           {"exp", now + lifetime},
           {"jti", "t1"},
           {"providers", providers}};
}

inline std::string MintToken(EVP_PKEY *key, const nlohmann::json &claims,
                             const nlohmann::json &header = {{"alg", "ES256"}, {"typ", "JWT"}})
{
   std::string input =
       Hostlib::Base64UrlEncode(header.dump()) + "." + Hostlib::Base64UrlEncode(claims.dump());
   return input + "." + Hostlib::Base64UrlEncode(SignEs256(key, input));
}

} // namespace ZarnaTesting
