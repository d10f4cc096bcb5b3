// Tells the service manager how the agent is doing: ready to serve, stopping,
// and still alive. Silent unless the manager asked for it (NOTIFY_SOCKET).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/tirel/thread_pool.h"

namespace Zarna {

class ServiceNotifier : public std::enable_shared_from_this<ServiceNotifier> {
public:
   // Delivers one notification message ("READY=1", ...); the seam for tests.
   using Sender = std::function<void(const std::string &message)>;

   // A null sender makes a notifier that sends nothing. `watchdogUs` is the
   // manager's watchdog period; 0 sends no keep-alives.
   ServiceNotifier(Sender sender, uint64_t watchdogUs);
   ~ServiceNotifier();
   ServiceNotifier(const ServiceNotifier &) = delete;
   ServiceNotifier &operator=(const ServiceNotifier &) = delete;

   // Through the service manager's socket when NOTIFY_SOCKET is set, with the
   // watchdog period of WATCHDOG_USEC (when it is meant for this process).
   static std::shared_ptr<ServiceNotifier> FromEnvironment();

   bool Enabled() const { return static_cast<bool>(mSender); }
   // Half the watchdog period, so one late keep-alive is not yet fatal.
   uint64_t KeepAliveIntervalUs() const { return mWatchdogUs / 2; }

   void Ready(const std::string &status);
   void Stopping();

   // Sends "WATCHDOG=1" from a pool thread every KeepAliveIntervalUs: when every
   // pool thread is stuck none is sent, and the manager restarts the agent.
   void StartKeepAlive(const std::shared_ptr<Tirel::System::ThreadPool> &pool);
   void StopKeepAlive();

private:
   void ScheduleKeepAlive(const std::shared_ptr<Tirel::System::ThreadPool> &pool);

   const Sender mSender;
   const uint64_t mWatchdogUs;
   std::mutex mLock;
   bool mKeepAliveStopped = false;                           // guarded by mLock
   std::shared_ptr<Tirel::System::ScheduledItem> mKeepAlive; // guarded by mLock
};

} // namespace Zarna
