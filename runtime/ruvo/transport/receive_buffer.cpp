#include "runtime/ruvo/transport/receive_buffer.h"

#include <algorithm>
#include <cstring>

#include "runtime/ruvo/transport/server_load.h"

namespace Ruvo::Transport::PicoHttp {

ReceiveBuffer::ReceiveBuffer(std::shared_ptr<ServerLoad> load, size_t ownBytes)
   : mLoad(std::move(load)), mOwnBytes(ownBytes)
{
}

ReceiveBuffer::~ReceiveBuffer()
{
   if (mLoad) {
      mLoad->Release(Charged(mCapacity));
   }
}

bool ReceiveBuffer::Grow(size_t capacity, size_t keep)
{
   if (capacity <= mCapacity) {
      return true;
   }
   // Both buffers exist while the kept bytes move, so both are charged meanwhile.
   size_t extra = Charged(capacity);
   if (mLoad && extra > 0 && !mLoad->TryCharge(extra)) {
      return false;
   }
   size_t old = Charged(mCapacity);
   Replace(capacity, 0, keep);
   if (mLoad) {
      mLoad->Release(old);
   }
   return true;
}

void ReceiveBuffer::Compact(size_t from, size_t filled)
{
   size_t left = filled - from;
   if (mCapacity > mOwnBytes) {
      size_t old = Charged(mCapacity);
      size_t capacity = std::max(left, mOwnBytes);
      // The smaller buffer is charged before the larger one is given back, so the
      // charge never dips below what is held.
      if (!mLoad || mLoad->TryCharge(Charged(capacity))) {
         Replace(capacity, from, filled);
         if (mLoad) {
            mLoad->Release(old);
         }
         return;
      }
   }
   if (left > 0 && from > 0) {
      std::memmove(mData.get(), mData.get() + from, left);
   }
}

void ReceiveBuffer::Replace(size_t capacity, size_t keepFrom, size_t keepTo)
{
   // Default-initialised: pages not yet received into are never touched.
   std::unique_ptr<char[]> fresh(new char[capacity]);
   if (keepTo > keepFrom) {
      std::memcpy(fresh.get(), mData.get() + keepFrom, keepTo - keepFrom);
   }
   mData = std::move(fresh);
   mCapacity = capacity;
}

} // namespace Ruvo::Transport::PicoHttp
