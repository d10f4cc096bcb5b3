// One key cache over several: every key goes to each of them, so that the
// emulated cache can be inspected while the kernel keyring holds the same keys.
#pragma once

#include <vector>

#include "runtime/keylocator/keycache_backend.h"

namespace KeyLoc {

class MirroredKeyCache : public KeyCacheBackend {
public:
   explicit MirroredKeyCache(std::vector<std::shared_ptr<KeyCacheBackend>> caches)
       : mCaches(std::move(caches))
   {
   }

   // Placed in each; "already present" only when every cache had it. When one
   // refuses, the key is taken out of those that placed it, and its error is
   // the answer.
   KeyLocError Add(const std::string &provider, const std::string &keyId, uint32_t flags,
                   const std::string &cipher, const uint8_t *key, size_t keyLength) override;
   // Applied to each; the first failure is the answer, the others still run.
   KeyLocError SetType(const std::string &provider, const std::string &keyId,
                       uint32_t keyType) override;
   KeyLocError Remove(const std::string &provider, const std::string &keyId) override;

private:
   const std::vector<std::shared_ptr<KeyCacheBackend>> mCaches;
};

} // namespace KeyLoc
