// What all connections of one server share: the count of connections held, the
// receive-buffer bytes beyond each connection's own allowance, and rate limits
// for the lines that a flood of peers would otherwise repeat.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
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

class ServerLoad {
public:
   ServerLoad(size_t maxConnections, size_t maxBufferedBytes);

   // Takes a connection slot; false when all are held.
   bool TryAddConnection();
   void RemoveConnection();
   // Charges buffer bytes against the shared cap; false (nothing charged) when
   // they do not fit.
   bool TryCharge(size_t bytes);
   void Release(size_t bytes);

   size_t Connections() const { return mConnections.load(); }
   size_t BufferedBytes() const { return mBuffered.load(); }

   LogRateLimiter connectionLimitLog{std::chrono::seconds(10)};
   LogRateLimiter bufferLimitLog{std::chrono::seconds(10)};

private:
   const size_t mMaxConnections;
   const size_t mMaxBuffered;
   std::atomic<size_t> mConnections{0};
   std::atomic<size_t> mBuffered{0};
};

// One held connection slot, given back when destroyed.
class ConnectionSlot {
public:
   explicit ConnectionSlot(std::shared_ptr<ServerLoad> load) : mLoad(std::move(load)) {}
   ~ConnectionSlot() { mLoad->RemoveConnection(); }
   ConnectionSlot(const ConnectionSlot &) = delete;
   ConnectionSlot &operator=(const ConnectionSlot &) = delete;
   ServerLoad &Load() { return *mLoad; }
   const std::shared_ptr<ServerLoad> &Shared() const { return mLoad; }

private:
   std::shared_ptr<ServerLoad> mLoad;
};

} // namespace Ruvo::Transport::PicoHttp
