// The seam under the kernel key cache calls: one process-wide backend, chosen
// from "keycache/backend" at start-up, or installed by tests.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/keylocator/key_locator.h"

namespace KeyLoc {

inline constexpr const char *kBackendSetting = "keycache/backend";
inline constexpr const char *kKeyringBackend = "keyring";
inline constexpr const char *kEmulatorBackend = "emulator";

// The calls reach a backend only with valid arguments: provider and key id as
// the locator rules allow, a known cipher with a key of its length.
class KeyCacheBackend {
public:
   virtual ~KeyCacheBackend() = default;
   virtual KeyLocError Add(const std::string &provider, const std::string &keyId, uint32_t flags,
                           const std::string &cipher, const uint8_t *key, size_t keyLength) = 0;
   virtual KeyLocError SetType(const std::string &provider, const std::string &keyId,
                               uint32_t keyType) = 0;
   virtual KeyLocError Remove(const std::string &provider, const std::string &keyId) = 0;
};

void SetKeyCacheBackend(std::shared_ptr<KeyCacheBackend> backend);
std::shared_ptr<KeyCacheBackend> GetKeyCacheBackend();

inline constexpr const char *kKeyringSetting = "keycache/keyring";

struct KeyCacheSettings {
   // "keyring", "emulator", or both separated by a comma ("emulator,keyring"):
   // then every key goes to each.
   std::string backend = kKeyringBackend;
   // The emulator's socket ("hyperkern/channel").
   std::string emulatorSocket;
   // Where the keyring backend links its keyring: "user" (the user keyring of
   // the agent's user) or "session" (the session keyring it was started in).
   std::string keyring = "user";
};

// Null with a reason in *error for a setting it does not know.
std::shared_ptr<KeyCacheBackend> CreateKeyCacheBackend(const KeyCacheSettings &settings,
                                                       std::string *error);
// The same with the default keyring place.
std::shared_ptr<KeyCacheBackend> CreateKeyCacheBackend(const std::string &name,
                                                       const std::string &emulatorSocket,
                                                       std::string *error);

// The key length a cipher name takes; 0 for a name the cache does not know.
size_t CipherKeyLength(std::string_view cipher);

// SHA-256 of a key id, in lower-case hex: caches name keys by it, since key
// ids may be long.
std::string KeyIdDigestHex(std::string_view keyId);

} // namespace KeyLoc
