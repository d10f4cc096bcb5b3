#include "runtime/tirel/clock.h"

#include "runtime/hostlib/hostinfo.h"

namespace Tirel::System {

uint64_t SteadyClock::NowUs()
{
   return Hostinfo_SystemTimerNS() / 1000;
}

void ManualClock::AddJumpListener(std::function<void()> onJump)
{
   Hostlib::MutexLock guard(mLock);
   mListeners.push_back(std::move(onJump));
}

void ManualClock::Advance(uint64_t us)
{
   mNowUs.fetch_add(us);
   std::vector<std::function<void()>> listeners;
   {
      Hostlib::MutexLock guard(mLock);
      listeners = mListeners;
   }
   for (auto &listener : listeners) {
      listener();
   }
}

} // namespace Tirel::System
