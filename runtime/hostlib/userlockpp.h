// C++ owners of the MXUser locks, annotated for clang's -Wthread-safety.
//
//    MXUser::RWLock mStateLock{"zarna-state-lock", 0xff000000};
//    std::vector<Info> mGroups ZARNA_GUARDED_BY(mStateLock);
//    ...
//    MXUser::ReadLockGuard guard(mStateLock);
//
// A lock that cannot be created stops the process with "VERIFY %s:%d\n".
#pragma once

#include <cstdint>

#include "runtime/hostlib/log.h"
#include "runtime/hostlib/thread_annotations.h"
#include "runtime/hostlib/userlock.h"

namespace MXUser {

namespace Detail {
inline constexpr const char *kVerifyFile = "lib/public/userlockpp";
template <typename T> T *Verified(T *created, int line)
{
   if (created == nullptr) {
      Panic("VERIFY %s:%d\n", kVerifyFile, line);
   }
   return created;
}
} // namespace Detail

class ZARNA_CAPABILITY("mutex") ExclLock {
public:
   ExclLock(const char *name, MX_Rank rank)
       : mLock(Detail::Verified(MXUser_CreateExclLock(name, rank), 90))
   {
   }
   ~ExclLock() { MXUser_DestroyExclLock(mLock); }
   ExclLock(const ExclLock &) = delete;
   ExclLock &operator=(const ExclLock &) = delete;

   void Acquire() ZARNA_ACQUIRE() { MXUser_AcquireExclLock(mLock); }
   bool TryAcquire() ZARNA_TRY_ACQUIRE(true) { return MXUser_TryAcquireExclLock(mLock); }
   void Release() ZARNA_RELEASE() { MXUser_ReleaseExclLock(mLock); }
   bool IsHeldByCurrentThread() const { return MXUser_IsCurThreadHoldingExclLock(mLock); }
   MXUserExclLock *Raw() const { return mLock; }

private:
   MXUserExclLock *mLock;
};

class ZARNA_CAPABILITY("mutex") RWLock {
public:
   RWLock(const char *name, MX_Rank rank)
       : mLock(Detail::Verified(MXUser_CreateRWLock(name, rank), 330))
   {
   }
   ~RWLock() { MXUser_DestroyRWLock(mLock); }
   RWLock(const RWLock &) = delete;
   RWLock &operator=(const RWLock &) = delete;

   void AcquireRead() ZARNA_ACQUIRE_SHARED() { MXUser_AcquireForRead(mLock); }
   void AcquireWrite() ZARNA_ACQUIRE() { MXUser_AcquireForWrite(mLock); }
   void ReleaseRead() ZARNA_RELEASE_SHARED() { MXUser_ReleaseRWLock(mLock); }
   void ReleaseWrite() ZARNA_RELEASE() { MXUser_ReleaseRWLock(mLock); }
   MXUserRWLock *Raw() const { return mLock; }

private:
   MXUserRWLock *mLock;
};

// Bound to one exclusive lock at creation; every wait names that lock so the
// analysis can check that the caller holds it.
class CondVar {
public:
   explicit CondVar(ExclLock &lock)
       : mCondVar(Detail::Verified(MXUser_CreateCondVarExclLock(lock.Raw()), 499))
   {
   }
   ~CondVar() { MXUser_DestroyCondVar(mCondVar); }
   CondVar(const CondVar &) = delete;
   CondVar &operator=(const CondVar &) = delete;

   void Wait(ExclLock &lock) ZARNA_REQUIRES(lock)
   {
      MXUser_WaitCondVarExclLock(lock.Raw(), mCondVar);
   }
   // False when the time ran out; true on a wakeup (possibly spurious).
   bool TimedWait(ExclLock &lock, uint32_t msecWait) ZARNA_REQUIRES(lock)
   {
      return MXUser_TimedWaitCondVarExclLock(lock.Raw(), mCondVar, msecWait);
   }
   void Signal() { MXUser_SignalCondVar(mCondVar); }
   void Broadcast() { MXUser_BroadcastCondVar(mCondVar); }

private:
   MXUserCondVar *mCondVar;
};

class ZARNA_SCOPED_CAPABILITY ExclLockGuard {
public:
   explicit ExclLockGuard(ExclLock &lock) ZARNA_ACQUIRE(lock) : mLock(lock) { mLock.Acquire(); }
   ~ExclLockGuard() ZARNA_RELEASE() { mLock.Release(); }
   ExclLockGuard(const ExclLockGuard &) = delete;
   ExclLockGuard &operator=(const ExclLockGuard &) = delete;

private:
   ExclLock &mLock;
};

class ZARNA_SCOPED_CAPABILITY ReadLockGuard {
public:
   explicit ReadLockGuard(RWLock &lock) ZARNA_ACQUIRE_SHARED(lock) : mLock(lock)
   {
      mLock.AcquireRead();
   }
   ~ReadLockGuard() ZARNA_RELEASE() { mLock.ReleaseRead(); }
   ReadLockGuard(const ReadLockGuard &) = delete;
   ReadLockGuard &operator=(const ReadLockGuard &) = delete;

private:
   RWLock &mLock;
};

class ZARNA_SCOPED_CAPABILITY WriteLockGuard {
public:
   explicit WriteLockGuard(RWLock &lock) ZARNA_ACQUIRE(lock) : mLock(lock) { mLock.AcquireWrite(); }
   ~WriteLockGuard() ZARNA_RELEASE() { mLock.ReleaseWrite(); }
   WriteLockGuard(const WriteLockGuard &) = delete;
   WriteLockGuard &operator=(const WriteLockGuard &) = delete;

private:
   RWLock &mLock;
};

} // namespace MXUser
