// The wrapped form of a key: one ASCII text
//
//    zw1.<master key version>.<iv>.<ciphertext>.<tag>
//
// (version in decimal, the rest Base64url without padding) of AES-256-GCM under
// the provider's master key of that version. The additional authenticated data
// binds the format, the version and the provider name, so a key wrapped for one
// provider does not unwrap under another. About 90 characters for a 256-bit key,
// short enough to be a key id inside a kernel key locator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/ruvo/data/secret_string.h"

namespace Zarnd {

inline constexpr std::string_view kWrapPrefix = "zw1";
inline constexpr size_t kIvBytes = 12;
inline constexpr size_t kTagBytes = 16;
inline constexpr size_t kMaxWrappedKeyText = 256;

struct WrappedKey {
   uint32_t version = 0;
   std::string iv;
   std::string ciphertext;
   std::string tag;
};

// Key lengths a provider wraps: 128, 192 and 256 bits.
bool IsSupportedKeyLength(size_t bytes);

// Strict: exactly the form above, a version from 1 to 2^31-1 without leading
// zeros, a 12-byte IV, a 16-, 24- or 32-byte ciphertext and a 16-byte tag.
bool ParseWrappedKey(std::string_view text, WrappedKey &out);
std::string FormatWrappedKey(const WrappedKey &key);

// AES-256-GCM with a fresh IV; false when the key length is not supported or the
// cipher fails.
bool SealKey(const Ruvo::SecretString &masterKey, const std::string &provider, uint32_t version,
             const Ruvo::SecretString &key, WrappedKey &out);
// False when the text does not authenticate for this provider and master key.
bool OpenKey(const Ruvo::SecretString &masterKey, const std::string &provider,
             const WrappedKey &wrapped, Ruvo::SecretString &key);

} // namespace Zarnd
