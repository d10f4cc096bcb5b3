#include <cstdio>

#include "runtime/hostlib/crypto_hash.h"
#include "runtime/keylocator/emulator_key_cache.h"
#include "runtime/keylocator/keycache_backend.h"
#include "runtime/keylocator/keyring_key_cache.h"
#include "runtime/keylocator/mirrored_key_cache.h"

namespace KeyLoc {

std::shared_ptr<KeyCacheBackend> CreateKeyCacheBackend(const KeyCacheSettings &settings,
                                                       std::string *error)
{
   auto fail = [&](const std::string &reason) -> std::shared_ptr<KeyCacheBackend> {
      if (error != nullptr) {
         *error = reason;
      }
      return nullptr;
   };
   key_serial_t parent;
   if (settings.keyring == "user") {
      parent = KEY_SPEC_USER_KEYRING;
   } else if (settings.keyring == "session") {
      parent = KEY_SPEC_SESSION_KEYRING;
   } else {
      return fail("unknown keyring place \"" + settings.keyring + "\" (user or session)");
   }
   std::vector<std::shared_ptr<KeyCacheBackend>> caches;
   bool haveKeyring = false;
   bool haveEmulator = false;
   size_t start = 0;
   for (;;) {
      const size_t comma = settings.backend.find(',', start);
      const std::string name = settings.backend.substr(
          start, comma == std::string::npos ? std::string::npos : comma - start);
      if (name == kKeyringBackend && !haveKeyring) {
         haveKeyring = true;
         caches.push_back(std::make_shared<KeyringKeyCache>(parent));
      } else if (name == kEmulatorBackend && !haveEmulator) {
         haveEmulator = true;
         caches.push_back(std::make_shared<EmulatorKeyCache>(settings.emulatorSocket));
      } else {
         return fail("unknown key cache backend \"" + settings.backend +
                     "\" (keyring, emulator, or both separated by a comma)");
      }
      if (comma == std::string::npos) {
         break;
      }
      start = comma + 1;
   }
   if (caches.size() == 1) {
      return caches.front();
   }
   return std::make_shared<MirroredKeyCache>(std::move(caches));
}

std::shared_ptr<KeyCacheBackend> CreateKeyCacheBackend(const std::string &name,
                                                       const std::string &emulatorSocket,
                                                       std::string *error)
{
   KeyCacheSettings settings;
   settings.backend = name;
   settings.emulatorSocket = emulatorSocket;
   return CreateKeyCacheBackend(settings, error);
}

std::string KeyIdDigestHex(std::string_view keyId)
{
   unsigned char digest[32];
   CryptoHash_Compute(CryptoHash_SHA256(), keyId.data(), keyId.size(), digest, sizeof digest);
   std::string hex;
   hex.reserve(64);
   char two[3];
   for (unsigned char b : digest) {
      snprintf(two, sizeof two, "%02x", b);
      hex += two;
   }
   return hex;
}

} // namespace KeyLoc
