// Host clocks.
#pragma once

#include <cstdint>

// Monotonic time in nanoseconds (unaffected by wall-clock changes).
uint64_t Hostinfo_SystemTimerNS();

// Wall-clock time in microseconds since the Unix epoch (UTC).
int64_t Hostinfo_GetTimeOfDay();

// Test seam: while installed, both functions above read this clock instead of
// the system's. Not thread-safe against concurrent installation; tests install
// it before starting threads that read time, and remove it with nullptr.
class HostinfoClock {
public:
   virtual ~HostinfoClock() = default;
   virtual uint64_t SystemTimerNS() = 0;
   virtual int64_t TimeOfDayUS() = 0;
};
void Hostinfo_SetClock(HostinfoClock *clock);
