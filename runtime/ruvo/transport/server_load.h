// What all connections of one server share: the count of connections held, the
// receive-buffer bytes beyond each connection's own allowance, and rate limits
// for the lines that a flood of peers would otherwise repeat.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace Ruvo::Transport::PicoHttp {

// At most one line per interval; the lines held back in between are counted.
class LogRateLimiter {
public:
   explicit LogRateLimiter(std::chrono::steady_clock::duration interval) : mInterval(interval) {}
   // True when a line may be written now; `suppressed` is then the number of lines
   // held back since the last one written.
   bool Allow(uint64_t &suppressed);

private:
   std::mutex mLock;
   std::chrono::steady_clock::duration mInterval;
   bool mWritten = false;                         // guarded by mLock
   std::chrono::steady_clock::time_point mLast;   // guarded by mLock
   uint64_t mSuppressed = 0;                      // guarded by mLock
};

class ConnectionSlot;

class ServerLoad {
public:
   ServerLoad(size_t maxConnections, size_t maxBufferedBytes);

   // Takes a connection slot; false when all are held.
   bool TryAddConnection();
   void RemoveConnection();
   // When all slots are held: closes the connection that has waited longest for
   // (or in) its request, and hands its slot on to the caller. False when every
   // held connection is busy with a request already received.
   bool TakeSlotOfLongestWaiting();
   // Charges buffer bytes against the shared cap; false (nothing charged) when
   // they do not fit.
   bool TryCharge(size_t bytes);
   void Release(size_t bytes);

   size_t Connections() const { return mConnections.load(); }
   size_t BufferedBytes() const { return mBuffered.load(); }

   LogRateLimiter connectionLimitLog{std::chrono::seconds(10)};
   LogRateLimiter evictionLog{std::chrono::seconds(10)};
   LogRateLimiter bufferLimitLog{std::chrono::seconds(10)};

private:
   friend class ConnectionSlot;
   // Both with mWaitLock held.
   void Link(ConnectionSlot *slot);
   void Unlink(ConnectionSlot *slot);

   // The waiting connections, oldest first: a list through the slots themselves,
   // so that moving one costs no allocation on the path of every request.
   std::mutex mWaitLock;
   ConnectionSlot *mOldest = nullptr; // guarded by mWaitLock
   ConnectionSlot *mNewest = nullptr; // guarded by mWaitLock

   const size_t mMaxConnections;
   const size_t mMaxBuffered;
   std::atomic<size_t> mConnections{0};
   std::atomic<size_t> mBuffered{0};
};

// One held connection slot, given back when destroyed (unless it was handed on to
// a newer connection when this one was closed to make room).
class ConnectionSlot {
public:
   // close: closes the connection (from any thread); called at most once, without
   // locks held, when the slot is taken for a newer connection.
   ConnectionSlot(std::shared_ptr<ServerLoad> load, std::function<void()> close = nullptr)
      : mLoad(std::move(load)), mClose(std::move(close))
   {
   }
   ~ConnectionSlot();
   ConnectionSlot(const ConnectionSlot &) = delete;
   ConnectionSlot &operator=(const ConnectionSlot &) = delete;
   ServerLoad &Load() { return *mLoad; }
   const std::shared_ptr<ServerLoad> &Shared() const { return mLoad; }
   void SetClose(std::function<void()> close);

   // The connection waits for a request (again), or has received one. Called from
   // the connection's executor only.
   void Waiting();
   void Busy();

private:
   friend class ServerLoad;
   std::shared_ptr<ServerLoad> mLoad;
   // All guarded by the load's wait lock.
   std::function<void()> mClose;
   ConnectionSlot *mOlder = nullptr;
   ConnectionSlot *mNewer = nullptr;
   bool mWaiting = false;
   bool mHandedOn = false;
};

} // namespace Ruvo::Transport::PicoHttp
