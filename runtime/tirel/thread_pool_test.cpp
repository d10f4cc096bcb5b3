#include "runtime/tirel/thread_pool.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/hostlib/testing/log_capture.h"

namespace {

using namespace std::chrono_literals;
using Tirel::System::ManualClock;
using Tirel::System::ThreadPool;

constexpr uint64_t kSecond = 1000000;

template <typename Pred> bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5s)
{
   auto end = std::chrono::steady_clock::now() + limit;
   while (!pred()) {
      if (std::chrono::steady_clock::now() > end) {
         return false;
      }
      std::this_thread::sleep_for(1ms);
   }
   return true;
}

TEST(ThreadPool, RunsQueuedWorkWithinTheThreadLimit)
{
   ThreadPool pool(3, nullptr);
   std::atomic<int> running{0};
   std::atomic<int> peak{0};
   std::atomic<int> done{0};
   for (int i = 0; i < 12; ++i) {
      pool.Enqueue([&] {
         int now = ++running;
         int seen = peak.load();
         while (now > seen && !peak.compare_exchange_weak(seen, now)) {
         }
         std::this_thread::sleep_for(10ms);
         --running;
         ++done;
      });
   }
   ASSERT_TRUE(pool.WaitForIdle(5s));
   EXPECT_EQ(done, 12);
   EXPECT_LE(peak, 3);
   EXPECT_GE(peak, 2); // work is spread over threads
}

TEST(ThreadPool, CancelledItemNeverRuns)
{
   auto clock = std::make_shared<ManualClock>();
   ThreadPool pool(2, clock);
   std::atomic<int> ran{0};
   auto cancelled = pool.EnqueueAfter(1800 * kSecond, [&] { ++ran; });
   auto kept = pool.EnqueueAfter(1800 * kSecond, [&] { ran += 10; });
   EXPECT_TRUE(cancelled->Cancel());
   EXPECT_FALSE(cancelled->Cancel());
   EXPECT_TRUE(cancelled->IsCancelled());
   clock->Advance(3600 * kSecond);
   ASSERT_TRUE(WaitFor([&] { return ran >= 10; }));
   ASSERT_TRUE(pool.WaitForIdle(5s));
   EXPECT_EQ(ran, 10);
}

TEST(ThreadPool, DroppingTheHandleDoesNotCancel)
{
   auto clock = std::make_shared<ManualClock>();
   ThreadPool pool(1, clock);
   std::atomic<bool> ran{false};
   pool.EnqueueAfter(20 * kSecond, [&] { ran = true; }).reset();
   clock->Advance(20 * kSecond);
   EXPECT_TRUE(WaitFor([&] { return ran.load(); }));
}

TEST(ThreadPool, CancelRacingWithRunIsEitherOrAndSafeFromInside)
{
   ThreadPool pool(4, nullptr);
   for (int i = 0; i < 500; ++i) {
      std::atomic<bool> ran{false};
      auto item = pool.EnqueueAfter(0, [&] { ran = true; });
      bool stopped = item->Cancel();
      ASSERT_TRUE(pool.WaitForIdle(5s));
      ASSERT_NE(stopped, ran.load()) << "iteration " << i;
   }
   // A callback may cancel its own item (it is running, so nothing happens).
   std::shared_ptr<Tirel::System::ScheduledItem> self;
   std::atomic<int> result{-1};
   std::atomic<bool> armed{false};
   self = pool.EnqueueAfter(1000, [&] {
      while (!armed) {
         std::this_thread::yield();
      }
      result = self->Cancel() ? 1 : 0;
   });
   armed = true;
   ASSERT_TRUE(WaitFor([&] { return result != -1; }));
   EXPECT_EQ(result, 0);
}

TEST(ThreadPool, ReadableCallbackFiresOnceAndCanBeRearmed)
{
   ThreadPool pool(2, nullptr);
   int fds[2];
   ASSERT_EQ(pipe(fds), 0);
   std::atomic<int> calls{0};
   auto item = pool.EnqueueWhenReadable(fds[0], [&] { ++calls; });
   ASSERT_NE(item, nullptr);
   std::this_thread::sleep_for(20ms);
   EXPECT_EQ(calls, 0); // nothing to read yet
   ASSERT_EQ(write(fds[1], "x", 1), 1);
   ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
   std::this_thread::sleep_for(30ms);
   EXPECT_EQ(calls, 1); // still readable, but one-shot
   pool.EnqueueWhenReadable(fds[0], [&] { ++calls; });
   ASSERT_TRUE(WaitFor([&] { return calls == 2; }));

   // Cancelled before the descriptor turns readable: never runs, and closing
   // the descriptor afterwards is harmless.
   int other[2];
   ASSERT_EQ(pipe(other), 0);
   std::atomic<bool> ran{false};
   auto watch = pool.EnqueueWhenReadable(other[0], [&] { ran = true; });
   EXPECT_TRUE(watch->Cancel());
   ASSERT_EQ(write(other[1], "x", 1), 1);
   close(other[0]);
   close(other[1]);
   std::this_thread::sleep_for(30ms);
   EXPECT_FALSE(ran);
   EXPECT_EQ(pool.EnqueueWhenReadable(-1, [] {}), nullptr);
   close(fds[0]);
   close(fds[1]);
}

TEST(ThreadPool, ThrowingWorkIsLoggedAndThePoolCarriesOn)
{
   HostlibTesting::LogCapture capture;
   ThreadPool pool(1, nullptr);
   pool.Enqueue([] { throw std::runtime_error("io context failed"); });
   std::atomic<bool> after{false};
   pool.Enqueue([&] { after = true; });
   ASSERT_TRUE(WaitFor([&] { return after.load(); }));
   EXPECT_TRUE(capture.Has(110, "Unhandled exception in a work item: io context failed"));
}

TEST(ThreadPool, DestructionDropsPendingWorkAndReleasesIt)
{
   auto clock = std::make_shared<ManualClock>();
   auto token = std::make_shared<int>(0);
   std::weak_ptr<int> watch = token;
   std::atomic<bool> ran{false};
   std::shared_ptr<Tirel::System::ScheduledItem> item;
   {
      ThreadPool pool(1, clock);
      item = pool.EnqueueAfter(kSecond, [&ran, token] { ran = true; });
      token.reset();
   }
   clock->Advance(2 * kSecond); // the pool is gone: nothing listens
   EXPECT_FALSE(ran);
   item.reset();
   EXPECT_TRUE(watch.expired());
}

} // namespace
