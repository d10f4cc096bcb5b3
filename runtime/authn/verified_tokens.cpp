#include "runtime/authn/verified_tokens.h"

#include "runtime/hostlib/crypto_hash.h"

namespace Brim::Authn {

bool VerifiedTokens::DigestOf(std::string_view token, Digest &out)
{
   return CryptoHash_Compute(CryptoHash_SHA256(), token.data(), token.size(), out.data(),
                             out.size()) == CRYPTO_ERROR_SUCCESS;
}

std::optional<VerifiedTokens::Entry> VerifiedTokens::Find(const Digest &digest) const
{
   std::lock_guard<std::mutex> guard(mLock);
   auto it = mSlots.find(digest);
   if (it == mSlots.end()) {
      return std::nullopt;
   }
   return it->second.entry;
}

void VerifiedTokens::Insert(const Digest &digest, Entry entry)
{
   if (mCapacity == 0) {
      return;
   }
   std::lock_guard<std::mutex> guard(mLock);
   auto it = mSlots.find(digest);
   if (it != mSlots.end()) {
      it->second.entry = std::move(entry);
      return;
   }
   while (mSlots.size() >= mCapacity) {
      mSlots.erase(mOrder.front());
      mOrder.pop_front();
   }
   mOrder.push_back(digest);
   mSlots.emplace(digest, Slot{std::move(entry), std::prev(mOrder.end())});
}

void VerifiedTokens::Erase(const Digest &digest)
{
   std::lock_guard<std::mutex> guard(mLock);
   auto it = mSlots.find(digest);
   if (it != mSlots.end()) {
      mOrder.erase(it->second.age);
      mSlots.erase(it);
   }
}

size_t VerifiedTokens::Size() const
{
   std::lock_guard<std::mutex> guard(mLock);
   return mSlots.size();
}

} // namespace Brim::Authn
