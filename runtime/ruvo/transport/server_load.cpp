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

bool ServerLoad::TakeSlotOfLongestWaiting()
{
   std::function<void()> close;
   {
      std::lock_guard<std::mutex> guard(mWaitLock);
      if (mWaiting.empty()) {
         return false;
      }
      ConnectionSlot *oldest = mWaiting.begin()->second;
      mWaiting.erase(mWaiting.begin());
      oldest->mWaitKey = 0;
      oldest->mHandedOn = true;
      close = std::move(oldest->mClose);
   }
   if (close) {
      close();
   }
   return true;
}

uint64_t ServerLoad::StartWaiting(ConnectionSlot *slot, uint64_t previous)
{
   if (previous != 0) {
      mWaiting.erase(previous);
   }
   uint64_t key = ++mWaitSeq;
   mWaiting.emplace(key, slot);
   return key;
}

void ServerLoad::StopWaiting(uint64_t key)
{
   if (key != 0) {
      mWaiting.erase(key);
   }
}

ConnectionSlot::~ConnectionSlot()
{
   bool handedOn = false;
   {
      std::lock_guard<std::mutex> guard(mLoad->mWaitLock);
      mLoad->StopWaiting(mWaitKey);
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
      mWaitKey = mLoad->StartWaiting(this, mWaitKey);
   }
}

void ConnectionSlot::Busy()
{
   std::lock_guard<std::mutex> guard(mLoad->mWaitLock);
   mLoad->StopWaiting(mWaitKey);
   mWaitKey = 0;
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

} // namespace Ruvo::Transport::PicoHttp
