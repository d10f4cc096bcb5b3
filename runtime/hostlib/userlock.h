// Named, ranked locks and condition variables (C interface).
//
// Every lock has a name (for diagnostics) and a rank. In debug builds (no
// NDEBUG) each thread records the locks it holds, and acquiring a lock whose
// rank is lower than or equal to the rank of a lock the thread already holds
// stops the process through Panic: locks must be taken in strictly increasing
// rank order, which rules out lock-order deadlocks and recursive acquisition.
// Release builds skip the bookkeeping.
//
// Creation returns null on failure (null name, out of memory, OS refusal).
// The C++ wrappers in userlockpp.h turn that into a VERIFY panic.
#pragma once

#include <cstdint>

typedef uint32_t MX_Rank;

struct MXUserExclLock;
struct MXUserRWLock;
struct MXUserCondVar;

// --- exclusive locks ---
MXUserExclLock *MXUser_CreateExclLock(const char *name, MX_Rank rank);
void MXUser_AcquireExclLock(MXUserExclLock *lock);
// False when another thread holds the lock. Rank rules apply as for Acquire.
bool MXUser_TryAcquireExclLock(MXUserExclLock *lock);
void MXUser_ReleaseExclLock(MXUserExclLock *lock);
bool MXUser_IsCurThreadHoldingExclLock(MXUserExclLock *lock);
// The lock must not be held.
void MXUser_DestroyExclLock(MXUserExclLock *lock);

// --- reader-writer locks (phase-fair: waiting readers and writers take turns,
//     so neither kind can starve the other) ---
MXUserRWLock *MXUser_CreateRWLock(const char *name, MX_Rank rank);
void MXUser_AcquireForRead(MXUserRWLock *lock);
void MXUser_AcquireForWrite(MXUserRWLock *lock);
// Releases the calling thread's hold, read or write.
void MXUser_ReleaseRWLock(MXUserRWLock *lock);
void MXUser_DestroyRWLock(MXUserRWLock *lock);

// --- condition variables bound to one exclusive lock ---
MXUserCondVar *MXUser_CreateCondVarExclLock(MXUserExclLock *lock);
// The caller holds `lock` (the one the condition variable was created with).
// Wakeups may be spurious: callers re-test their condition.
void MXUser_WaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar);
// Waits at most msecWait milliseconds (the full 32-bit range is a real
// duration, about 49.7 days at most). False when the time ran out.
bool MXUser_TimedWaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar,
                                     uint32_t msecWait);
void MXUser_SignalCondVar(MXUserCondVar *condVar);
void MXUser_BroadcastCondVar(MXUserCondVar *condVar);
void MXUser_DestroyCondVar(MXUserCondVar *condVar);

// Whether rank checks run in this build.
bool MXUser_RankChecksEnabled();
