#include "apps/zarna/service_notify.h"

#include <cstdlib>

#include <systemd/sd-daemon.h>

namespace Zarna {

ServiceNotifier::ServiceNotifier(Sender sender, uint64_t watchdogUs)
    : mSender(std::move(sender)), mWatchdogUs(mSender ? watchdogUs : 0)
{
}

ServiceNotifier::~ServiceNotifier()
{
   StopKeepAlive();
}

std::shared_ptr<ServiceNotifier> ServiceNotifier::FromEnvironment()
{
   const char *socket = getenv("NOTIFY_SOCKET");
   if (socket == nullptr || *socket == '\0') {
      return std::make_shared<ServiceNotifier>(nullptr, 0);
   }
   uint64_t watchdogUs = 0;
   // Also checks WATCHDOG_PID, so a keep-alive meant for a parent is not taken.
   if (sd_watchdog_enabled(0, &watchdogUs) <= 0) {
      watchdogUs = 0;
   }
   // The environment is kept: a failed send is not worth a retry, and the
   // manager ignores messages of processes it does not expect.
   return std::make_shared<ServiceNotifier>(
       [](const std::string &message) { sd_notify(0, message.c_str()); }, watchdogUs);
}

void ServiceNotifier::Ready(const std::string &status)
{
   if (mSender) {
      mSender("READY=1\nSTATUS=" + status);
   }
}

void ServiceNotifier::Stopping()
{
   if (mSender) {
      mSender("STOPPING=1\nSTATUS=Stopping");
   }
}

void ServiceNotifier::StartKeepAlive(const std::shared_ptr<Tirel::System::ThreadPool> &pool)
{
   if (KeepAliveIntervalUs() == 0 || !pool) {
      return;
   }
   {
      std::lock_guard<std::mutex> guard(mLock);
      mKeepAliveStopped = false;
   }
   ScheduleKeepAlive(pool);
}

void ServiceNotifier::StopKeepAlive()
{
   std::shared_ptr<Tirel::System::ScheduledItem> item;
   {
      std::lock_guard<std::mutex> guard(mLock);
      mKeepAliveStopped = true;
      item = std::move(mKeepAlive);
   }
   if (item) {
      item->Cancel();
   }
}

void ServiceNotifier::ScheduleKeepAlive(const std::shared_ptr<Tirel::System::ThreadPool> &pool)
{
   std::weak_ptr<ServiceNotifier> weakSelf = weak_from_this();
   std::weak_ptr<Tirel::System::ThreadPool> weakPool = pool;
   std::lock_guard<std::mutex> guard(mLock);
   if (mKeepAliveStopped) {
      return;
   }
   // Each keep-alive schedules the next one only after it was sent, so the
   // chain breaks exactly when no pool thread gets to run it.
   mKeepAlive = pool->EnqueueAfter(KeepAliveIntervalUs(), [weakSelf, weakPool] {
      std::shared_ptr<ServiceNotifier> self = weakSelf.lock();
      std::shared_ptr<Tirel::System::ThreadPool> pool = weakPool.lock();
      if (!self || !pool) {
         return;
      }
      {
         std::lock_guard<std::mutex> guard(self->mLock);
         if (self->mKeepAliveStopped) {
            return;
         }
      }
      self->mSender("WATCHDOG=1");
      self->ScheduleKeepAlive(pool);
   });
}

} // namespace Zarna
