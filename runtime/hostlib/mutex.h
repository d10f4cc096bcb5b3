// A plain, annotated mutex for internal state of runtime components: unlike the
// MXUser locks it has no name and no rank, and it works with
// std::condition_variable_any. Members it protects are declared
// ZARNA_GUARDED_BY(mLock) so that -Wthread-safety checks every access.
#pragma once

#include <mutex>

#include "runtime/hostlib/thread_annotations.h"

namespace Hostlib {

class ZARNA_CAPABILITY("mutex") Mutex {
public:
   void lock() ZARNA_ACQUIRE() { mMutex.lock(); }
   void unlock() ZARNA_RELEASE() { mMutex.unlock(); }
   bool try_lock() ZARNA_TRY_ACQUIRE(true) { return mMutex.try_lock(); }

private:
   std::mutex mMutex;
};

class ZARNA_SCOPED_CAPABILITY MutexLock {
public:
   explicit MutexLock(Mutex &mutex) ZARNA_ACQUIRE(mutex) : mMutex(mutex) { mMutex.lock(); }
   ~MutexLock() ZARNA_RELEASE() { mMutex.unlock(); }
   MutexLock(const MutexLock &) = delete;
   MutexLock &operator=(const MutexLock &) = delete;

private:
   Mutex &mMutex;
};

} // namespace Hostlib
