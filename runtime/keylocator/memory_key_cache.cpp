#include "runtime/keylocator/memory_key_cache.h"

#include <openssl/crypto.h>

namespace KeyLoc {

namespace {

size_t Index(MemoryKeyCache::Op op)
{
   return static_cast<size_t>(op);
}

void Wipe(std::vector<uint8_t> &key)
{
   if (!key.empty()) {
      OPENSSL_cleanse(key.data(), key.size());
   }
}

} // namespace

MemoryKeyCache::~MemoryKeyCache()
{
   for (auto &[name, entry] : mEntries) {
      Wipe(entry.key);
   }
}

KeyLocError MemoryKeyCache::Add(const std::string &provider, const std::string &keyId,
                                uint32_t flags, const std::string &cipher, const uint8_t *key,
                                size_t keyLength)
{
   std::lock_guard<std::mutex> lock(mLock);
   ++mCalls[Index(Op::Add)];
   if (mFaults[Index(Op::Add)] != KEYLOC_SUCCESS) {
      return mFaults[Index(Op::Add)];
   }
   auto [it, inserted] = mEntries.try_emplace({provider, keyId});
   if (!inserted) {
      return KEYLOC_ERR_ALREADY_PRESENT;
   }
   it->second.cipher = cipher;
   it->second.flags = flags;
   it->second.key.assign(key, key + keyLength);
   return KEYLOC_SUCCESS;
}

KeyLocError MemoryKeyCache::SetType(const std::string &provider, const std::string &keyId,
                                    uint32_t keyType)
{
   std::lock_guard<std::mutex> lock(mLock);
   ++mCalls[Index(Op::SetType)];
   if (mFaults[Index(Op::SetType)] != KEYLOC_SUCCESS) {
      return mFaults[Index(Op::SetType)];
   }
   auto it = mEntries.find({provider, keyId});
   if (it == mEntries.end()) {
      return KEYLOC_ERR_NOT_FOUND;
   }
   it->second.keyType = keyType;
   return KEYLOC_SUCCESS;
}

KeyLocError MemoryKeyCache::Remove(const std::string &provider, const std::string &keyId)
{
   std::lock_guard<std::mutex> lock(mLock);
   ++mCalls[Index(Op::Remove)];
   if (mFaults[Index(Op::Remove)] != KEYLOC_SUCCESS) {
      return mFaults[Index(Op::Remove)];
   }
   auto it = mEntries.find({provider, keyId});
   if (it == mEntries.end()) {
      return KEYLOC_ERR_NOT_FOUND;
   }
   Wipe(it->second.key);
   mEntries.erase(it);
   return KEYLOC_SUCCESS;
}

void MemoryKeyCache::SetFault(Op op, KeyLocError error)
{
   std::lock_guard<std::mutex> lock(mLock);
   mFaults[Index(op)] = error;
}

size_t MemoryKeyCache::Calls(Op op) const
{
   std::lock_guard<std::mutex> lock(mLock);
   return mCalls[Index(op)];
}

std::optional<MemoryKeyCache::Entry> MemoryKeyCache::Find(const std::string &provider,
                                                          const std::string &keyId) const
{
   std::lock_guard<std::mutex> lock(mLock);
   auto it = mEntries.find({provider, keyId});
   if (it == mEntries.end()) {
      return std::nullopt;
   }
   return it->second;
}

size_t MemoryKeyCache::Size() const
{
   std::lock_guard<std::mutex> lock(mLock);
   return mEntries.size();
}

} // namespace KeyLoc
