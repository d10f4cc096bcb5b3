#include "runtime/ruvo/transport/receive_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "runtime/ruvo/transport/server_load.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

// From this size on a buffer is mapped on its own.
constexpr size_t kMapBytes = 64 * 1024;

} // namespace

ReceiveBuffer::ReceiveBuffer(std::shared_ptr<ServerLoad> load, size_t ownBytes)
   : mLoad(std::move(load)), mOwnBytes(ownBytes)
{
}

ReceiveBuffer::~ReceiveBuffer()
{
   size_t charged = Charged(mCapacity);
   Free();
   if (mLoad) {
      mLoad->Release(charged);
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
   if (!Replace(capacity, 0, keep)) {
      if (mLoad) {
         mLoad->Release(extra);
      }
      return false;
   }
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
         if (Replace(capacity, from, filled)) {
            if (mLoad) {
               mLoad->Release(old);
            }
            return;
         }
         if (mLoad) {
            mLoad->Release(Charged(capacity));
         }
      }
   }
   if (left > 0 && from > 0) {
      std::memmove(mData, mData + from, left);
   }
}

bool ReceiveBuffer::Replace(size_t capacity, size_t keepFrom, size_t keepTo)
{
   char *fresh = nullptr;
   bool mapped = capacity >= kMapBytes;
   if (mapped) {
      void *pages = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (pages == MAP_FAILED) {
         return false;
      }
      fresh = static_cast<char *>(pages);
   } else {
      // Default-initialised: nothing is written until bytes arrive.
      fresh = new (std::nothrow) char[capacity];
      if (fresh == nullptr) {
         return false;
      }
   }
   if (keepTo > keepFrom) {
      std::memcpy(fresh, mData + keepFrom, keepTo - keepFrom);
   }
   Free();
   mData = fresh;
   mCapacity = capacity;
   mMapped = mapped;
   return true;
}

void ReceiveBuffer::Free()
{
   if (mData == nullptr) {
      return;
   }
   if (mMapped) {
      munmap(mData, mCapacity);
   } else {
      delete[] mData;
   }
   mData = nullptr;
   mCapacity = 0;
   mMapped = false;
}

} // namespace Ruvo::Transport::PicoHttp
