#include "runtime/hostlib/hostinfo.h"

#include <time.h>

#include <atomic>

namespace {
std::atomic<HostinfoClock *> gClock{nullptr};
}

void Hostinfo_SetClock(HostinfoClock *clock)
{
   gClock.store(clock);
}

uint64_t Hostinfo_SystemTimerNS()
{
   if (HostinfoClock *clock = gClock.load()) {
      return clock->SystemTimerNS();
   }
   struct timespec ts;
   clock_gettime(CLOCK_MONOTONIC, &ts);
   return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

int64_t Hostinfo_GetTimeOfDay()
{
   if (HostinfoClock *clock = gClock.load()) {
      return clock->TimeOfDayUS();
   }
   struct timespec ts;
   clock_gettime(CLOCK_REALTIME, &ts);
   return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
