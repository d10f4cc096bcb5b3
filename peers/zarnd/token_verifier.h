// Checks the bearer tokens that attestation services issue: compact JWS with the
// algorithm pinned to ES256 (the header must say so, and nothing else is tried),
// signed by one of the trusted attestation service keys, within its validity
// (exp, nbf, with a small clock skew) and, when configured, for our audience.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/authn/es256.h"

namespace Zarnd {

struct TokenClaims {
   std::string subject;
   // Names of the key providers the holder may use.
   std::vector<std::string> providers;
   bool allProviders = false; // the claim held "*"
   int64_t expires = 0;

   bool MayUse(const std::string &provider) const;
};

// The decoded parts of a compact token, before any check of the signature.
struct TokenParts {
   std::string header;       // JSON text
   std::string payload;      // JSON text
   std::string signature;    // raw bytes
   std::string signingInput; // "<header b64>.<payload b64>"
};

inline constexpr size_t kMaxTokenBytes = 8192;
inline constexpr int64_t kClockSkewSec = 60;

// False for anything but three strict Base64url parts within the size limit.
bool SplitToken(std::string_view token, TokenParts &parts);
// Reads the claims (types checked) from the payload JSON; false with a reason.
bool ReadClaims(const std::string &payloadJson, TokenClaims &claims, int64_t &notBefore,
                bool &hasNotBefore, std::vector<std::string> &audiences, std::string &reason);

class TokenVerifier {
public:
   // Public keys (PEM files, EC P-256 only). Null with the reason when a file
   // cannot be read or holds another kind of key.
   static std::shared_ptr<TokenVerifier> Load(const std::vector<std::string> &publicKeyFiles,
                                              std::string audience, std::string &error);
   // From PEM texts (tests).
   static std::shared_ptr<TokenVerifier> FromPem(const std::vector<std::string> &publicKeyPems,
                                                 std::string audience, std::string &error);

   // True with the claims for a token that passes every check at `now` (seconds
   // since the epoch). The reason names the failed check; it never holds token text.
   bool Verify(std::string_view token, int64_t now, TokenClaims &claims, std::string &reason) const;

private:
   TokenVerifier() = default;
   bool CheckSignature(const TokenParts &parts) const;

   std::vector<Brim::Authn::EcKeyPtr> mKeys;
   std::string mAudience;
};

} // namespace Zarnd
