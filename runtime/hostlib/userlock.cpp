#include "runtime/hostlib/userlock.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "runtime/hostlib/log.h"

#ifndef NDEBUG
#define ZARNA_MXUSER_RANK_CHECKS 1
#else
#define ZARNA_MXUSER_RANK_CHECKS 0
#endif

struct MXUserHeader {
   std::string name;
   MX_Rank rank;
};

struct MXUserExclLock {
   MXUserHeader header;
   std::mutex mutex;
   std::atomic<std::thread::id> owner{};
};

// Phase-fair: a reader that arrives while a writer holds or waits for the lock
// enters as soon as that writer (or the one that goes next) releases, before any
// later writer; a writer waits only for the readers already admitted. So a
// stream of writers cannot starve readers, and readers cannot starve writers.
struct MXUserRWLock {
   MXUserHeader header;
   std::mutex mutex;
   std::condition_variable readersGo;
   std::condition_variable writersGo;
   int activeReaders = 0;     // guarded by mutex
   int waitingReaders = 0;    // guarded by mutex
   int waitingWriters = 0;    // guarded by mutex
   bool writerActive = false; // guarded by mutex
   std::thread::id writer;    // guarded by mutex
   uint64_t readerGrants = 0; // guarded by mutex; advanced when waiting readers are let in
};

struct MXUserCondVar {
   MXUserExclLock *lock;
   std::condition_variable condVar;
};

namespace {

// Locks held by this thread, in acquisition order (debug builds only).
struct HeldLock {
   const MXUserHeader *header;
   bool exclusive;
};
thread_local std::vector<HeldLock> tHeld;

void CheckRankAndRecord(const MXUserHeader &header, bool exclusive)
{
   if (!ZARNA_MXUSER_RANK_CHECKS) {
      return;
   }
   for (const HeldLock &held : tHeld) {
      if (held.header->rank >= header.rank) {
         Panic(
             "Lock rank violation: acquiring \"%s\" (rank 0x%x) while holding \"%s\" (rank 0x%x)\n",
             header.name.c_str(), header.rank, held.header->name.c_str(), held.header->rank);
      }
   }
   tHeld.push_back({&header, exclusive});
}

// Returns whether the hold was exclusive.
bool ForgetHeld(const MXUserHeader &header)
{
   if (!ZARNA_MXUSER_RANK_CHECKS) {
      return true;
   }
   auto it = std::find_if(tHeld.rbegin(), tHeld.rend(),
                          [&](const HeldLock &held) { return held.header == &header; });
   if (it == tHeld.rend()) {
      Panic("Lock \"%s\" released by a thread that does not hold it\n", header.name.c_str());
   }
   bool exclusive = it->exclusive;
   tHeld.erase(std::next(it).base());
   return exclusive;
}

void CheckBoundLock(MXUserExclLock *lock, MXUserCondVar *condVar)
{
   if (condVar->lock != lock) {
      Panic("Condition variable of \"%s\" used with lock \"%s\"\n",
            condVar->lock->header.name.c_str(), lock->header.name.c_str());
   }
   if (lock->owner.load() != std::this_thread::get_id()) {
      Panic("Wait on a condition variable without holding \"%s\"\n", lock->header.name.c_str());
   }
}

} // namespace

bool MXUser_RankChecksEnabled()
{
   return ZARNA_MXUSER_RANK_CHECKS;
}

MXUserExclLock *MXUser_CreateExclLock(const char *name, MX_Rank rank)
{
   if (name == nullptr) {
      return nullptr;
   }
   auto *lock = new (std::nothrow) MXUserExclLock;
   if (lock != nullptr) {
      lock->header = {name, rank};
   }
   return lock;
}

void MXUser_AcquireExclLock(MXUserExclLock *lock)
{
   CheckRankAndRecord(lock->header, true);
   lock->mutex.lock();
   lock->owner.store(std::this_thread::get_id());
}

bool MXUser_TryAcquireExclLock(MXUserExclLock *lock)
{
   CheckRankAndRecord(lock->header, true);
   if (!lock->mutex.try_lock()) {
      ForgetHeld(lock->header);
      return false;
   }
   lock->owner.store(std::this_thread::get_id());
   return true;
}

void MXUser_ReleaseExclLock(MXUserExclLock *lock)
{
   if (lock->owner.load() != std::this_thread::get_id()) {
      Panic("Lock \"%s\" released by a thread that does not hold it\n", lock->header.name.c_str());
   }
   ForgetHeld(lock->header);
   lock->owner.store(std::thread::id());
   lock->mutex.unlock();
}

bool MXUser_IsCurThreadHoldingExclLock(MXUserExclLock *lock)
{
   return lock->owner.load() == std::this_thread::get_id();
}

void MXUser_DestroyExclLock(MXUserExclLock *lock)
{
   if (lock == nullptr) {
      return;
   }
   if (lock->owner.load() != std::thread::id()) {
      Panic("Lock \"%s\" destroyed while held\n", lock->header.name.c_str());
   }
   delete lock;
}

MXUserRWLock *MXUser_CreateRWLock(const char *name, MX_Rank rank)
{
   if (name == nullptr) {
      return nullptr;
   }
   auto *lock = new (std::nothrow) MXUserRWLock;
   if (lock == nullptr) {
      return nullptr;
   }
   lock->header = {name, rank};
   return lock;
}

void MXUser_AcquireForRead(MXUserRWLock *lock)
{
   CheckRankAndRecord(lock->header, false);
   std::unique_lock<std::mutex> held(lock->mutex);
   if (!lock->writerActive && lock->waitingWriters == 0) {
      ++lock->activeReaders;
      return;
   }
   // The releasing writer counts this reader in before it wakes it.
   ++lock->waitingReaders;
   const uint64_t grant = lock->readerGrants;
   lock->readersGo.wait(held, [&] { return lock->readerGrants != grant; });
}

void MXUser_AcquireForWrite(MXUserRWLock *lock)
{
   CheckRankAndRecord(lock->header, true);
   std::unique_lock<std::mutex> held(lock->mutex);
   if (lock->writerActive && lock->writer == std::this_thread::get_id()) {
      Panic("Write lock of \"%s\" taken twice by one thread\n", lock->header.name.c_str());
   }
   ++lock->waitingWriters;
   lock->writersGo.wait(held, [&] { return !lock->writerActive && lock->activeReaders == 0; });
   --lock->waitingWriters;
   lock->writerActive = true;
   lock->writer = std::this_thread::get_id();
}

void MXUser_ReleaseRWLock(MXUserRWLock *lock)
{
   ForgetHeld(lock->header);
   std::lock_guard<std::mutex> held(lock->mutex);
   if (lock->writerActive && lock->writer == std::this_thread::get_id()) {
      lock->writerActive = false;
      lock->writer = std::thread::id();
      if (lock->waitingReaders > 0) {
         // The readers that queued behind this writer go before the next writer.
         lock->activeReaders += lock->waitingReaders;
         lock->waitingReaders = 0;
         ++lock->readerGrants;
         lock->readersGo.notify_all();
      } else {
         lock->writersGo.notify_one();
      }
      return;
   }
   if (lock->activeReaders <= 0) {
      Panic("Lock \"%s\" released by a thread that does not hold it\n", lock->header.name.c_str());
   }
   if (--lock->activeReaders == 0 && lock->waitingWriters > 0) {
      lock->writersGo.notify_one();
   }
}

void MXUser_DestroyRWLock(MXUserRWLock *lock)
{
   delete lock;
}

MXUserCondVar *MXUser_CreateCondVarExclLock(MXUserExclLock *lock)
{
   if (lock == nullptr) {
      return nullptr;
   }
   auto *condVar = new (std::nothrow) MXUserCondVar;
   if (condVar != nullptr) {
      condVar->lock = lock;
   }
   return condVar;
}

void MXUser_WaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar)
{
   CheckBoundLock(lock, condVar);
   lock->owner.store(std::thread::id());
   std::unique_lock<std::mutex> held(lock->mutex, std::adopt_lock);
   condVar->condVar.wait(held);
   held.release();
   lock->owner.store(std::this_thread::get_id());
}

bool MXUser_TimedWaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar,
                                     uint32_t msecWait)
{
   CheckBoundLock(lock, condVar);
   lock->owner.store(std::thread::id());
   std::unique_lock<std::mutex> held(lock->mutex, std::adopt_lock);
   std::cv_status status = condVar->condVar.wait_for(held, std::chrono::milliseconds(msecWait));
   held.release();
   lock->owner.store(std::this_thread::get_id());
   return status == std::cv_status::no_timeout;
}

void MXUser_SignalCondVar(MXUserCondVar *condVar)
{
   condVar->condVar.notify_one();
}

void MXUser_BroadcastCondVar(MXUserCondVar *condVar)
{
   condVar->condVar.notify_all();
}

void MXUser_DestroyCondVar(MXUserCondVar *condVar)
{
   delete condVar;
}
