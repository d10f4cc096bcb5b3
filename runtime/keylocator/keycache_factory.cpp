#include <cstdio>

#include "runtime/hostlib/crypto_hash.h"
#include "runtime/keylocator/emulator_key_cache.h"
#include "runtime/keylocator/keycache_backend.h"
#include "runtime/keylocator/keyring_key_cache.h"

namespace KeyLoc {

std::shared_ptr<KeyCacheBackend> CreateKeyCacheBackend(const std::string &name,
                                                       const std::string &emulatorSocket,
                                                       std::string *error)
{
   if (name == kKeyringBackend) {
      return std::make_shared<KeyringKeyCache>();
   }
   if (name == kEmulatorBackend) {
      return std::make_shared<EmulatorKeyCache>(emulatorSocket);
   }
   if (error != nullptr) {
      *error = "unknown key cache backend \"" + name + "\" (keyring or emulator)";
   }
   return nullptr;
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
