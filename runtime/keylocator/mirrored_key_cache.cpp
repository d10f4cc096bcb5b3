#include "runtime/keylocator/mirrored_key_cache.h"

namespace KeyLoc {

KeyLocError MirroredKeyCache::Add(const std::string &provider, const std::string &keyId,
                                  uint32_t flags, const std::string &cipher, const uint8_t *key,
                                  size_t keyLength)
{
   std::vector<KeyCacheBackend *> placed;
   bool allPresent = true;
   for (const auto &cache : mCaches) {
      const KeyLocError result = cache->Add(provider, keyId, flags, cipher, key, keyLength);
      if (result == KEYLOC_SUCCESS) {
         placed.push_back(cache.get());
         allPresent = false;
      } else if (result != KEYLOC_ERR_ALREADY_PRESENT) {
         for (KeyCacheBackend *undo : placed) {
            undo->Remove(provider, keyId);
         }
         return result;
      }
   }
   return allPresent && !mCaches.empty() ? KEYLOC_ERR_ALREADY_PRESENT : KEYLOC_SUCCESS;
}

KeyLocError MirroredKeyCache::SetType(const std::string &provider, const std::string &keyId,
                                      uint32_t keyType)
{
   KeyLocError first = KEYLOC_SUCCESS;
   for (const auto &cache : mCaches) {
      const KeyLocError result = cache->SetType(provider, keyId, keyType);
      if (first == KEYLOC_SUCCESS) {
         first = result;
      }
   }
   return first;
}

KeyLocError MirroredKeyCache::Remove(const std::string &provider, const std::string &keyId)
{
   KeyLocError first = KEYLOC_SUCCESS;
   for (const auto &cache : mCaches) {
      const KeyLocError result = cache->Remove(provider, keyId);
      if (first == KEYLOC_SUCCESS) {
         first = result;
      }
   }
   return first;
}

} // namespace KeyLoc
