#include "runtime/hostlib/userlockpp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(UserLock, ExclusiveLockExcludesOtherThreads)
{
   MXUser::ExclLock lock("test-excl", 10);
   lock.Acquire();
   EXPECT_TRUE(lock.IsHeldByCurrentThread());
   std::atomic<bool> otherGotIt{true};
   std::thread([&] { otherGotIt = lock.TryAcquire(); }).join();
   EXPECT_FALSE(otherGotIt);
   lock.Release();
   EXPECT_FALSE(lock.IsHeldByCurrentThread());
   otherGotIt = false;
   std::thread([&] {
      if (lock.TryAcquire()) {
         otherGotIt = true;
         lock.Release();
      }
   }).join();
   EXPECT_TRUE(otherGotIt);
}

TEST(UserLock, ReadersShareAndWritersExclude)
{
   MXUser::RWLock lock("test-rw", 10);
   int value = 0;
   lock.AcquireRead();
   std::atomic<bool> secondReader{false};
   std::thread([&] {
      MXUser::ReadLockGuard guard(lock);
      secondReader = true;
   }).join();
   EXPECT_TRUE(secondReader);

   std::atomic<bool> writerDone{false};
   std::thread writer([&] {
      MXUser::WriteLockGuard guard(lock);
      value = 1;
      writerDone = true;
   });
   std::this_thread::sleep_for(50ms);
   EXPECT_FALSE(writerDone); // blocked by our read hold
   lock.ReleaseRead();
   writer.join();
   EXPECT_TRUE(writerDone);
   MXUser::ReadLockGuard guard(lock);
   EXPECT_EQ(value, 1);
}

// Writers queued back to back must let a reader that arrived meanwhile in as
// soon as the writer holding the lock releases it.
TEST(UserLock, WaitingReadersGoBetweenQueuedWriters)
{
   MXUser::RWLock lock("test-phase", 10);
   std::atomic<int> step{0};
   std::vector<std::string> order; // written only while the write or read lock is held
   std::mutex orderLock;
   auto record = [&](const std::string &what) {
      std::lock_guard<std::mutex> guard(orderLock);
      order.push_back(what);
   };

   lock.AcquireWrite();
   std::thread writer2([&] {
      MXUser::WriteLockGuard guard(lock);
      record("writer2");
   });
   std::this_thread::sleep_for(50ms); // writer2 is queued
   std::thread reader([&] {
      MXUser::ReadLockGuard guard(lock);
      record("reader");
      step = 1;
   });
   std::this_thread::sleep_for(50ms); // the reader is queued behind writer2
   std::thread writer3([&] {
      MXUser::WriteLockGuard guard(lock);
      record("writer3");
   });
   std::this_thread::sleep_for(50ms);
   {
      std::lock_guard<std::mutex> guard(orderLock);
      EXPECT_TRUE(order.empty()) << "nobody may pass a held write lock";
   }
   record("writer1");
   lock.ReleaseWrite();
   writer2.join();
   reader.join();
   writer3.join();
   ASSERT_EQ(order.size(), 4u);
   EXPECT_EQ(order[0], "writer1");
   // The reader queued while a writer held the lock and another waited: it goes
   // right after the holder, ahead of both queued writers.
   EXPECT_EQ(order[1], "reader");
   EXPECT_EQ(step.load(), 1);
}

TEST(UserLockDeathTest, RankOrderViolationsPanic)
{
   if (!MXUser_RankChecksEnabled()) {
      GTEST_SKIP() << "rank checks run in debug builds only";
   }
   {
      MXUser::ExclLock condVarLock("zarna-condVarLock", 0xfeffffff);
      MXUser::RWLock stateLock("zarna-state-lock", 0xff000000);
      MXUser::ExclLockGuard outer(condVarLock);
      MXUser::ReadLockGuard inner(stateLock); // increasing ranks nest
   }
   MXUser::ExclLock low("low", 5);
   MXUser::RWLock high("high", 9);
   EXPECT_DEATH(
       {
          MXUser::WriteLockGuard a(high);
          MXUser::ExclLockGuard b(low);
       },
       "Lock rank violation: acquiring \"low\" \\(rank 0x5\\) while holding \"high\"");
   MXUser::RWLock sameRank("same", 9);
   EXPECT_DEATH(
       {
          MXUser::ReadLockGuard a(high);
          MXUser::ReadLockGuard b(sameRank);
       },
       "Lock rank violation");
   // Recursive acquisition is an equal rank too.
   EXPECT_DEATH(
       {
          MXUser::ReadLockGuard a(high);
          MXUser_AcquireForRead(high.Raw());
       },
       "Lock rank violation");
}

TEST(UserLockDeathTest, FailedCreationPanicsWithVerify)
{
   EXPECT_DEATH(MXUser::ExclLock(nullptr, 1), "VERIFY lib/public/userlockpp:90");
   EXPECT_DEATH(MXUser::RWLock(nullptr, 1), "VERIFY lib/public/userlockpp:330");
   EXPECT_EQ(MXUser_CreateCondVarExclLock(nullptr), nullptr);
}

TEST(UserLock, TimedWaitTimesOutAndWakesOnSignal)
{
   MXUser::ExclLock lock("test-cv", 10);
   MXUser::CondVar condVar(lock);
   bool flag = false;

   lock.Acquire();
   auto start = std::chrono::steady_clock::now();
   EXPECT_FALSE(condVar.TimedWait(lock, 30));
   EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
   EXPECT_TRUE(lock.IsHeldByCurrentThread()); // re-acquired after the timeout

   std::thread signaller([&] {
      MXUser::ExclLockGuard guard(lock);
      flag = true;
      condVar.Signal();
   });
   // The largest wait is a real duration, not "forever"; the signal ends it early.
   while (!flag) {
      condVar.TimedWait(lock, 0xFFFFFFFF);
   }
   lock.Release();
   signaller.join();
}

TEST(UserLock, BroadcastWakesEveryWaiter)
{
   MXUser::ExclLock lock("test-bcast", 10);
   MXUser::CondVar condVar(lock);
   bool go = false;
   int woken = 0;
   std::vector<std::thread> waiters;
   for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
         MXUser::ExclLockGuard guard(lock);
         while (!go) {
            condVar.Wait(lock);
         }
         ++woken;
      });
   }
   std::this_thread::sleep_for(20ms);
   {
      MXUser::ExclLockGuard guard(lock);
      go = true;
      condVar.Broadcast();
   }
   for (auto &t : waiters) {
      t.join();
   }
   EXPECT_EQ(woken, 3);
}

TEST(UserLockDeathTest, MisuseIsCaught)
{
   MXUser::ExclLock lock("misuse", 10);
   MXUser::ExclLock other("other", 11);
   MXUser::CondVar condVar(lock);
   EXPECT_DEATH(MXUser_ReleaseExclLock(lock.Raw()), "released by a thread that does not hold it");
   EXPECT_DEATH(
       {
          MXUser::ExclLockGuard guard(other);
          condVar.TimedWait(other, 1);
       },
       "used with lock \"other\"");
}

} // namespace
