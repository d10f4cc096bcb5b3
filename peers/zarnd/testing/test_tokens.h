// Test tokens as an attestation service would issue them, signed with a key the
// test made.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

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
   EVP_MD_CTX *ctx = EVP_MD_CTX_new();
   size_t len = 0;
   if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) != 1 ||
       EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char *>(input.data()),
                      input.size()) != 1) {
      EVP_MD_CTX_free(ctx);
      throw std::runtime_error("sign");
   }
   std::string der(len, '\0');
   EVP_DigestSign(ctx, reinterpret_cast<unsigned char *>(der.data()), &len,
                  reinterpret_cast<const unsigned char *>(input.data()), input.size());
   EVP_MD_CTX_free(ctx);
   const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
   ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
   std::string raw(64, '\0');
   BN_bn2binpad(ECDSA_SIG_get0_r(sig), reinterpret_cast<unsigned char *>(raw.data()), 32);
   BN_bn2binpad(ECDSA_SIG_get0_s(sig), reinterpret_cast<unsigned char *>(raw.data()) + 32, 32);
   ECDSA_SIG_free(sig);
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
