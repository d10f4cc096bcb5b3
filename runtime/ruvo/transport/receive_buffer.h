// A connection's receive buffer. It grows only when asked (the caller asks in
// proportion to the bytes that have arrived), never touches the memory it has not
// yet filled, and charges every byte beyond a small allowance of its own to the
// server's shared cap. Large buffers are mapped pages of their own, so that the
// memory goes back to the system the moment a buffer is dropped instead of
// staying in the allocator's free lists.
#pragma once

#include <cstddef>
#include <memory>

namespace Ruvo::Transport::PicoHttp {

class ServerLoad;

class ReceiveBuffer {
public:
   // load: null for no shared cap.
   ReceiveBuffer(std::shared_ptr<ServerLoad> load, size_t ownBytes);
   ~ReceiveBuffer();
   ReceiveBuffer(const ReceiveBuffer &) = delete;
   ReceiveBuffer &operator=(const ReceiveBuffer &) = delete;

   char *Data() { return mData; }
   size_t Capacity() const { return mCapacity; }

   // Makes room for at least `capacity` bytes, keeping the first `keep`. False,
   // with the buffer unchanged, when the shared cap refuses the growth.
   bool Grow(size_t capacity, size_t keep);
   // Moves bytes [from, filled) to the start; a buffer grown past its allowance
   // is given back (down to what the kept bytes need).
   void Compact(size_t from, size_t filled);

private:
   bool Replace(size_t capacity, size_t keepFrom, size_t keepTo);
   void Free();
   size_t Charged(size_t capacity) const { return capacity > mOwnBytes ? capacity - mOwnBytes : 0; }

   std::shared_ptr<ServerLoad> mLoad;
   size_t mOwnBytes;
   char *mData = nullptr;
   size_t mCapacity = 0;
   bool mMapped = false;
};

} // namespace Ruvo::Transport::PicoHttp
