// A key cache in process memory, with faults to inject: the double that tests
// of the key resolution run against.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/keylocator/keycache_backend.h"

namespace KeyLoc {

class MemoryKeyCache : public KeyCacheBackend {
public:
   enum class Op { Add, SetType, Remove };
   struct Entry {
      std::string cipher;
      uint32_t keyType = 0;
      uint32_t flags = 0;
      std::vector<uint8_t> key;
   };

   ~MemoryKeyCache() override;

   KeyLocError Add(const std::string &provider, const std::string &keyId, uint32_t flags,
                   const std::string &cipher, const uint8_t *key, size_t keyLength) override;
   KeyLocError SetType(const std::string &provider, const std::string &keyId,
                       uint32_t keyType) override;
   KeyLocError Remove(const std::string &provider, const std::string &keyId) override;

   // Every later call of `op` answers `error` (KEYLOC_SUCCESS clears the fault)
   // without touching the cache.
   void SetFault(Op op, KeyLocError error);
   size_t Calls(Op op) const;
   std::optional<Entry> Find(const std::string &provider, const std::string &keyId) const;
   size_t Size() const;

private:
   mutable std::mutex mLock;
   std::map<std::pair<std::string, std::string>, Entry> mEntries; // guarded by mLock
   KeyLocError mFaults[3] = {};                                   // guarded by mLock
   size_t mCalls[3] = {};                                         // guarded by mLock
};

} // namespace KeyLoc
