#include "runtime/ruvo/transport/server_load.h"

namespace Ruvo::Transport::PicoHttp {

bool LogRateLimiter::Allow(uint64_t &suppressed)
{
   auto now = std::chrono::steady_clock::now();
   std::lock_guard<std::mutex> guard(mLock);
   if (mWritten && now - mLast < mInterval) {
      ++mSuppressed;
      return false;
   }
   mWritten = true;
   mLast = now;
   suppressed = mSuppressed;
   mSuppressed = 0;
   return true;
}

ServerLoad::ServerLoad(size_t maxConnections, size_t maxBufferedBytes)
   : mMaxConnections(maxConnections), mMaxBuffered(maxBufferedBytes)
{
}

bool ServerLoad::TryAddConnection()
{
   size_t held = mConnections.load();
   do {
      if (held >= mMaxConnections) {
         return false;
      }
   } while (!mConnections.compare_exchange_weak(held, held + 1));
   return true;
}

void ServerLoad::RemoveConnection()
{
   mConnections.fetch_sub(1);
}

bool ServerLoad::TryCharge(size_t bytes)
{
   size_t held = mBuffered.load();
   do {
      if (bytes > mMaxBuffered || held > mMaxBuffered - bytes) {
         return false;
      }
   } while (!mBuffered.compare_exchange_weak(held, held + bytes));
   return true;
}

void ServerLoad::Release(size_t bytes)
{
   mBuffered.fetch_sub(bytes);
}

bool ServerLoad::TakeSlotOfLongestWaiting()
{
   std::function<void()> close;
   {
      std::lock_guard<std::mutex> guard(mWaitLock);
      ConnectionSlot *oldest = mOldest;
      if (oldest == nullptr) {
         return false;
      }
      Unlink(oldest);
      oldest->mHandedOn = true;
      close = std::move(oldest->mClose);
   }
   if (close) {
      close();
   }
   return true;
}

void ServerLoad::Link(ConnectionSlot *slot)
{
   slot->mOlder = mNewest;
   slot->mNewer = nullptr;
   if (mNewest != nullptr) {
      mNewest->mNewer = slot;
   } else {
      mOldest = slot;
   }
   mNewest = slot;
   slot->mWaiting = true;
}

void ServerLoad::Unlink(ConnectionSlot *slot)
{
   if (!slot->mWaiting) {
      return;
   }
   (slot->mOlder != nullptr ? slot->mOlder->mNewer : mOldest) = slot->mNewer;
   (slot->mNewer != nullptr ? slot->mNewer->mOlder : mNewest) = slot->mOlder;
   slot->mOlder = nullptr;
   slot->mNewer = nullptr;
   slot->mWaiting = false;
}

ConnectionSlot::~ConnectionSlot()
{
   bool handedOn = false;
   {
      std::lock_guard<std::mutex> guard(mLoad->mWaitLock);
      mLoad->Unlink(this);
      handedOn = mHandedOn;
   }
   if (!handedOn) {
      mLoad->RemoveConnection();
   }
}

void ConnectionSlot::SetClose(std::function<void()> close)
{
   std::lock_guard<std::mutex> guard(mLoad->mWaitLock);
   mClose = std::move(close);
}

void ConnectionSlot::Waiting()
{
   std::lock_guard<std::mutex> guard(mLoad->mWaitLock);
   if (!mHandedOn) {
      mLoad->Unlink(this);
      mLoad->Link(this);
   }
}

void ConnectionSlot::Busy()
{
   std::lock_guard<std::mutex> guard(mLoad->mWaitLock);
   mLoad->Unlink(this);
}

} // namespace Ruvo::Transport::PicoHttp
