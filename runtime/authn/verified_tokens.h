// The callers of tokens whose signature has already been verified, so that a
// caller presenting the same token on every call pays for one ES256 verification,
// not one per call. Entries are keyed by the SHA-256 of the whole token text (the
// token itself is not kept), hold the token's exp and nbf so that every hit
// re-applies the time window, and are bounded in number, oldest out.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "runtime/ruvo/core/execution_context.h"

namespace Brim::Authn {

class VerifiedTokens {
public:
   using Digest = std::array<unsigned char, 32>;
   using Caller = std::shared_ptr<const Ruvo::Core::AuthenticationResult>;

   struct Entry {
      Caller caller;
      int64_t exp = 0;
      std::optional<int64_t> nbf;
   };

   explicit VerifiedTokens(size_t capacity) : mCapacity(capacity) {}

   // False when the digest cannot be computed (then nothing is cached).
   static bool DigestOf(std::string_view token, Digest &out);

   std::optional<Entry> Find(const Digest &digest) const;
   void Insert(const Digest &digest, Entry entry);
   void Erase(const Digest &digest);
   size_t Size() const;

private:
   struct DigestHash {
      size_t operator()(const Digest &d) const noexcept
      {
         size_t h = 0;
         for (size_t i = 0; i < sizeof h; ++i) {
            h = (h << 8) | d[i];
         }
         return h;
      }
   };
   struct Slot {
      Entry entry;
      std::list<Digest>::iterator age;
   };

   const size_t mCapacity;
   mutable std::mutex mLock;
   std::unordered_map<Digest, Slot, DigestHash> mSlots; // guarded by mLock
   std::list<Digest> mOrder;                            // oldest first; guarded by mLock
};

} // namespace Brim::Authn
