#include "runtime/tirel/thread_pool.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <thread>
#include <vector>

#include "runtime/hostlib/log.h"
#include "runtime/hostlib/mutex.h"

namespace Tirel::System {

namespace {
class QueuedItem : public CancellableItem {
public:
   explicit QueuedItem(std::function<void()> work) : CancellableItem(std::move(work)) {}
};
} // namespace

class PoolCore : public std::enable_shared_from_this<PoolCore> {
public:
   PoolCore(size_t maxThreads, std::shared_ptr<Clock> clock)
       : mMaxThreads(std::max<size_t>(maxThreads, 1)), mClock(std::move(clock)),
         mWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
   {
      if (mWakeFd < 0) {
         Panic("Thread pool: eventfd failed: %d\n", errno);
      }
   }
   ~PoolCore() { close(mWakeFd); }

   void Start()
   {
      std::weak_ptr<PoolCore> weak = weak_from_this();
      mClock->AddJumpListener([weak] {
         if (auto core = weak.lock()) {
            core->Wake();
         }
      });
      Hostlib::MutexLock guard(mLock);
      mDispatcher = std::thread([self = shared_from_this()] { self->DispatchLoop(); });
   }

   void Shutdown()
   {
      std::vector<std::thread> threads;
      // Dropped work is destroyed after the lock is released: its captured state
      // may call back into the pool.
      std::deque<std::shared_ptr<CancellableItem>> queue;
      std::multimap<uint64_t, std::shared_ptr<CancellableItem>> timers;
      std::vector<Watch> watches;
      {
         Hostlib::MutexLock guard(mLock);
         mStopping = true;
         queue.swap(mQueue);
         timers.swap(mTimers);
         watches.swap(mWatches);
         threads.swap(mWorkers);
         threads.push_back(std::move(mDispatcher));
      }
      mWorkReady.notify_all();
      Wake();
      std::thread::id self = std::this_thread::get_id();
      bool onOwnThread = std::any_of(threads.begin(), threads.end(),
                                     [&](const std::thread &t) { return t.get_id() == self; });
      for (std::thread &t : threads) {
         if (onOwnThread) {
            t.detach();
         } else if (t.joinable()) {
            t.join();
         }
      }
   }

   template <typename Item> std::shared_ptr<Item> Make(std::function<void()> work)
   {
      auto item = std::make_shared<Item>(std::move(work));
      item->mPool = weak_from_this();
      return item;
   }

   void Enqueue(std::shared_ptr<CancellableItem> item)
   {
      Hostlib::MutexLock guard(mLock);
      PushReady(std::move(item));
   }

   void AddTimer(uint64_t delayUs, std::shared_ptr<CancellableItem> item)
   {
      uint64_t now = mClock->NowUs();
      uint64_t deadline = delayUs > UINT64_MAX - now ? UINT64_MAX : now + delayUs;
      {
         Hostlib::MutexLock guard(mLock);
         if (mStopping) {
            return;
         }
         mTimers.emplace(deadline, std::move(item));
      }
      Wake();
   }

   void AddWatch(int fd, std::shared_ptr<CancellableItem> item)
   {
      {
         Hostlib::MutexLock guard(mLock);
         if (mStopping) {
            return;
         }
         mWatches.push_back({fd, std::move(item)});
      }
      Wake();
   }

   void Wake()
   {
      uint64_t one = 1;
      ssize_t n = write(mWakeFd, &one, sizeof one);
      (void)n; // a full counter already means "wake up"
   }

   bool WaitForIdle(std::chrono::milliseconds timeout)
   {
      auto limit = std::chrono::steady_clock::now() + timeout;
      Hostlib::MutexLock guard(mLock);
      for (;;) {
         bool timerDue = !mTimers.empty() && mTimers.begin()->first <= mClock->NowUs();
         if (mQueue.empty() && mRunning == 0 && !timerDue) {
            return true;
         }
         if (std::chrono::steady_clock::now() >= limit) {
            return false;
         }
         // Short slices: a due timer is noticed by the dispatcher, which does not notify us.
         mIdleChanged.wait_for(mLock, std::chrono::milliseconds(5));
      }
   }

   std::shared_ptr<Clock> GetClock() const { return mClock; }

private:
   struct Watch {
      int fd;
      std::shared_ptr<CancellableItem> item;
   };

   void PushReady(std::shared_ptr<CancellableItem> item) ZARNA_REQUIRES(mLock)
   {
      if (mStopping) {
         return;
      }
      mQueue.push_back(std::move(item));
      if (mIdle < mQueue.size() && mWorkers.size() < mMaxThreads) {
         mWorkers.emplace_back([self = shared_from_this()] { self->WorkerLoop(); });
      }
      mWorkReady.notify_one();
   }

   void WorkerLoop()
   {
      for (;;) {
         std::shared_ptr<CancellableItem> item;
         {
            Hostlib::MutexLock guard(mLock);
            ++mIdle;
            while (!mStopping && mQueue.empty()) {
               mWorkReady.wait(mLock);
            }
            --mIdle;
            if (mStopping) {
               return;
            }
            item = std::move(mQueue.front());
            mQueue.pop_front();
            ++mRunning;
         }
         item->RunOnce();
         item.reset();
         {
            Hostlib::MutexLock guard(mLock);
            --mRunning;
         }
         mIdleChanged.notify_all();
      }
   }

   // Hands due timers to the workers and moves cancelled ones to `dropped`;
   // returns the poll timeout in ms.
   int CollectTimers(std::vector<std::shared_ptr<CancellableItem>> &dropped) ZARNA_REQUIRES(mLock)
   {
      uint64_t now = mClock->NowUs();
      for (auto it = mTimers.begin(); it != mTimers.end();) {
         if (it->second->IsCancelled()) {
            dropped.push_back(std::move(it->second));
            it = mTimers.erase(it);
         } else if (it->first <= now) {
            PushReady(std::move(it->second));
            it = mTimers.erase(it);
         } else {
            ++it;
         }
      }
      if (mTimers.empty()) {
         return -1;
      }
      uint64_t waitUs = mTimers.begin()->first - now;
      uint64_t waitMs = (waitUs + 999) / 1000;
      return waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs);
   }

   void DispatchLoop()
   {
      std::vector<pollfd> fds;
      std::vector<std::shared_ptr<CancellableItem>> watched;
      std::vector<std::shared_ptr<CancellableItem>> dropped;
      for (;;) {
         int timeoutMs;
         {
            Hostlib::MutexLock guard(mLock);
            if (mStopping) {
               return;
            }
            timeoutMs = CollectTimers(dropped);
            std::erase_if(mWatches, [&](Watch &w) {
               if (!w.item->IsCancelled()) {
                  return false;
               }
               dropped.push_back(std::move(w.item));
               return true;
            });
            fds.assign(1, pollfd{mWakeFd, POLLIN, 0});
            watched.clear();
            for (const Watch &w : mWatches) {
               fds.push_back(pollfd{w.fd, POLLIN, 0});
               watched.push_back(w.item);
            }
         }
         for (auto &item : dropped) {
            item->DropWork();
         }
         dropped.clear();
         mIdleChanged.notify_all();
         int n = poll(fds.data(), fds.size(), timeoutMs);
         if (n < 0 && errno != EINTR) {
            Log_Level(110, "Thread pool: poll failed: %d\n", errno);
         }
         if (fds[0].revents != 0) {
            uint64_t count;
            ssize_t r = read(mWakeFd, &count, sizeof count);
            (void)r;
         }
         Hostlib::MutexLock guard(mLock);
         for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
               continue;
            }
            const std::shared_ptr<CancellableItem> &ready = watched[i - 1];
            auto it = std::find_if(mWatches.begin(), mWatches.end(),
                                   [&](const Watch &w) { return w.item == ready; });
            if (it != mWatches.end()) {
               mWatches.erase(it);
               PushReady(ready);
            }
         }
      }
   }

   const size_t mMaxThreads;
   const std::shared_ptr<Clock> mClock;
   const int mWakeFd;

   Hostlib::Mutex mLock;
   std::condition_variable_any mWorkReady;
   std::condition_variable_any mIdleChanged;
   // The pool's state, all guarded by mLock.
   bool mStopping ZARNA_GUARDED_BY(mLock) = false;
   std::deque<std::shared_ptr<CancellableItem>> mQueue ZARNA_GUARDED_BY(mLock);
   std::multimap<uint64_t, std::shared_ptr<CancellableItem>> mTimers ZARNA_GUARDED_BY(mLock);
   std::vector<Watch> mWatches ZARNA_GUARDED_BY(mLock);
   std::vector<std::thread> mWorkers ZARNA_GUARDED_BY(mLock);
   std::thread mDispatcher ZARNA_GUARDED_BY(mLock);
   size_t mIdle ZARNA_GUARDED_BY(mLock) = 0;
   size_t mRunning ZARNA_GUARDED_BY(mLock) = 0;
};

bool CancellableItem::Cancel()
{
   int expected = kPending;
   if (!mState.compare_exchange_strong(expected, kCancelled)) {
      return false;
   }
   // Let the dispatcher forget the item (and stop watching its descriptor) now
   // rather than when its time comes.
   if (std::shared_ptr<PoolCore> pool = mPool.lock()) {
      pool->Wake();
   }
   return true;
}

void CancellableItem::RunOnce()
{
   int expected = kPending;
   if (!mState.compare_exchange_strong(expected, kRunning)) {
      DropWork();
      return;
   }
   std::function<void()> work = std::move(mWork);
   mWork = nullptr;
   try {
      work();
   } catch (const std::exception &e) {
      Log_Level(110, "Unhandled exception in a work item: %s\n", e.what());
   } catch (...) {
      Log_Level(110, "Unhandled exception of unknown type in a work item\n");
   }
   work = nullptr; // captured state goes before the item counts as done
   mState.store(kDone);
}

void CancellableItem::DropWork()
{
   if (mState.load() == kCancelled) {
      mWork = nullptr;
   }
}

ThreadPool::ThreadPool(size_t maxThreads, std::shared_ptr<Clock> clock)
    : mCore(std::make_shared<PoolCore>(maxThreads,
                                       clock ? std::move(clock) : std::make_shared<SteadyClock>()))
{
   mCore->Start();
}

ThreadPool::~ThreadPool()
{
   mCore->Shutdown();
}

void ThreadPool::Enqueue(Work work)
{
   mCore->Enqueue(mCore->Make<QueuedItem>(std::move(work)));
}

std::shared_ptr<ScheduledItem> ThreadPool::EnqueueAfter(uint64_t delayUs, Work work)
{
   auto item = mCore->Make<ScheduledItem>(std::move(work));
   mCore->AddTimer(delayUs, item);
   return item;
}

std::shared_ptr<CancellableItem> ThreadPool::EnqueueWhenReadable(int fd, Work work)
{
   if (fd < 0) {
      return nullptr;
   }
   auto item = mCore->Make<ReadableItem>(std::move(work));
   mCore->AddWatch(fd, item);
   return item;
}

std::shared_ptr<Clock> ThreadPool::GetClock() const
{
   return mCore->GetClock();
}

bool ThreadPool::WaitForIdle(std::chrono::milliseconds timeout)
{
   return mCore->WaitForIdle(timeout);
}

} // namespace Tirel::System
