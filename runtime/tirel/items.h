// Handles of work that the thread pool will run later.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace Tirel::System {

class PoolCore;

// Work that has not run yet and can still be called off. Shared between the
// pool and whoever holds the handle; dropping the handle does not cancel it.
class CancellableItem {
public:
   virtual ~CancellableItem() = default;
   CancellableItem(const CancellableItem &) = delete;
   CancellableItem &operator=(const CancellableItem &) = delete;

   // After Cancel the work never starts. True when this call stopped it; false
   // when it has already started (it then runs to its end), has finished, or
   // was cancelled before. Never waits for a running callback, so it is safe to
   // call from inside the callback and while holding locks the callback takes.
   bool Cancel();
   bool IsCancelled() const { return mState.load() == kCancelled; }
   // True once the callback has returned.
   bool HasRun() const { return mState.load() == kDone; }

protected:
   explicit CancellableItem(std::function<void()> work) : mWork(std::move(work)) {}

private:
   friend class PoolCore;
   enum State { kPending, kRunning, kDone, kCancelled };

   // Runs the work unless it was cancelled first (pool threads only).
   void RunOnce();
   // Releases the work of a cancelled item (by the pool, which holds it).
   void DropWork();

   std::atomic<int> mState{kPending};
   // Touched only by the one thread that moved mState away from kPending
   // (the runner), or by the pool after cancellation.
   std::function<void()> mWork;
   std::weak_ptr<PoolCore> mPool;
};

// An item that runs after a delay.
class ScheduledItem : public CancellableItem {
public:
   explicit ScheduledItem(std::function<void()> work) : CancellableItem(std::move(work)) {}
};

// An item that runs once when a descriptor becomes readable.
class ReadableItem : public CancellableItem {
public:
   explicit ReadableItem(std::function<void()> work) : CancellableItem(std::move(work)) {}
};

} // namespace Tirel::System
