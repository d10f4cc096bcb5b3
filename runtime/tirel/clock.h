// The scheduler's source of time. Production uses the monotonic system clock;
// tests use ManualClock, whose time moves only when told, so that a delay of
// half an hour can fire at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "runtime/hostlib/mutex.h"

namespace Tirel::System {

class Clock {
public:
   virtual ~Clock() = default;
   // Monotonic microseconds.
   virtual uint64_t NowUs() = 0;
   // Registers `onJump`, run whenever the time moves other than by passing
   // (a manual clock's Advance), so that waiting schedulers look again.
   virtual void AddJumpListener(std::function<void()> onJump) { (void)onJump; }
};

class SteadyClock : public Clock {
public:
   uint64_t NowUs() override;
};

class ManualClock : public Clock {
public:
   explicit ManualClock(uint64_t startUs = 1000000) : mNowUs(startUs) {}
   uint64_t NowUs() override { return mNowUs.load(); }
   void AddJumpListener(std::function<void()> onJump) override;
   // Moves time forward and wakes every scheduler that uses this clock.
   void Advance(uint64_t us);

private:
   std::atomic<uint64_t> mNowUs;
   Hostlib::Mutex mLock;
   std::vector<std::function<void()>> mListeners ZARNA_GUARDED_BY(mLock);
};

} // namespace Tirel::System
