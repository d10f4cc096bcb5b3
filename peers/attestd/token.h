// Tokens attestd issues: compact ES256 JWTs, and the key pair that signs them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace Attestd {

struct TokenClaims {
   std::string issuer;
   std::string subject;
   std::string audience;
   int64_t issuedAt = 0;
   std::optional<int64_t> expiry; // absent only for fault tests
   std::string id;
   std::vector<std::string> providers;
};

class TokenSigner {
public:
   // A PEM private key of curve P-256; false with the reason otherwise.
   bool Load(const std::string &privateKeyFile, std::string &error);
   std::string Sign(const TokenClaims &claims) const;

private:
   std::shared_ptr<EVP_PKEY> mKey;
};

// Writes a new P-256 key pair: the private key to `file` (mode 0600) and the
// public key to `file`.pub.
bool GenerateKeyPair(const std::string &file, std::string &error);

} // namespace Attestd
