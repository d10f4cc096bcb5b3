// The framework's thread pool: runs work now, after a delay, or once when a
// descriptor becomes readable.
//
// Worker threads are started on demand, at most `maxThreads` of them; one more
// thread (the dispatcher) waits for delays and descriptors and hands due work
// to the workers. A work item that throws is logged at level 110 and the pool
// carries on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "runtime/tirel/clock.h"
#include "runtime/tirel/items.h"

namespace Tirel::System {

class ThreadPool {
public:
   using Work = std::function<void()>;

   ThreadPool(size_t maxThreads, std::shared_ptr<Clock> clock);
   // Stops the threads: queued and scheduled work that has not started is
   // dropped; running work is waited for (unless the pool is destroyed from one
   // of its own threads, which then end on their own after their current item).
   ~ThreadPool();
   ThreadPool(const ThreadPool &) = delete;
   ThreadPool &operator=(const ThreadPool &) = delete;

   void Enqueue(Work work);
   // Runs `work` once, `delayUs` microseconds from now on the pool's clock.
   std::shared_ptr<ScheduledItem> EnqueueAfter(uint64_t delayUs, Work work);
   // Runs `work` once when `fd` is readable (or has an error or hang-up
   // pending); the caller re-arms for more. The descriptor stays the caller's.
   // Null for a negative descriptor.
   std::shared_ptr<CancellableItem> EnqueueWhenReadable(int fd, Work work);

   std::shared_ptr<Clock> GetClock() const;

   // For tests: waits until nothing is queued or running and no delay has
   // expired on the clock. False when that did not happen within `timeout`.
   // Descriptor readiness is not awaited.
   bool WaitForIdle(std::chrono::milliseconds timeout);

private:
   std::shared_ptr<PoolCore> mCore;
};

} // namespace Tirel::System
