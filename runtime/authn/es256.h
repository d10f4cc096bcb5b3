// ES256 (ECDSA over P-256 with SHA-256) keys and signatures, and the base64url
// text tokens are made of. Signatures are the raw 64-byte r||s form tokens carry.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "runtime/hostlib/base64.h"

namespace Brim::Authn {

using EcKeyPtr = std::shared_ptr<EVP_PKEY>;

inline constexpr size_t kEs256SignatureBytes = 64;

// Reads a PEM public key; refuses keys that are not on P-256.
bool LoadEs256PublicKey(const std::string &path, EcKeyPtr &out, std::string &error);
bool ParseEs256PublicKey(std::string_view pem, EcKeyPtr &out, std::string &error);
// Reads a PEM private key (PKCS#8 or SEC1); refuses keys that are not on P-256.
bool LoadEs256PrivateKey(const std::string &path, EcKeyPtr &out, std::string &error);

// A fresh P-256 pair: the private key to `privatePath` (created with mode 0600,
// an existing file is refused) and the public key to `privatePath` + ".pub".
bool GenerateEs256KeyFiles(const std::string &privatePath, std::string &error);

bool SignEs256(EVP_PKEY *key, std::string_view data, std::string &signature);
bool VerifyEs256(EVP_PKEY *key, std::string_view data, std::string_view signature);

using Hostlib::Base64UrlDecode;
using Hostlib::Base64UrlEncode;

} // namespace Brim::Authn
