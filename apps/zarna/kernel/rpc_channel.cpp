#include "apps/zarna/kernel/rpc_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "apps/zarna/kernel/kernel_request.h"
#include "apps/zarna/kernel/resolve_key_work.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/mutex.h"
#include "runtime/hostlib/userlockpp.h"
#include "runtime/hyperkern/channel_backend.h"
#include "runtime/hyperkern/kernel_calls.h"
#include "runtime/tirel/app.h"

namespace Zarna {
namespace {

MXUser::RWLock rpcLock{"zarna-rpc-lock", 0xfefffffe};
// Absent while unregistered.
std::unique_ptr<int32_t> channelFd ZARNA_GUARDED_BY(rpcLock);

// True from a successful registration until UnregisterRpc: while it holds, a lost
// channel is registered again.
bool wanted ZARNA_GUARDED_BY(rpcLock) = false;

// The armed receive. Its own small lock because the receive replaces it while
// holding rpcLock only for reading, and the next receive may already be
// running when the previous one stores it. The pending re-registration shares it.
Hostlib::Mutex receiveItemLock;
std::shared_ptr<Tirel::System::CancellableItem> receiveItem ZARNA_GUARDED_BY(receiveItemLock);
std::shared_ptr<Tirel::System::ScheduledItem> reregisterItem ZARNA_GUARDED_BY(receiveItemLock);

std::shared_ptr<Tirel::System::ThreadPool> Pool()
{
   std::shared_ptr<Tirel::Service::App> app = Tirel::Service::GetApp();
   return app ? app->GetThreadPool() : nullptr;
}

void EnsureKernelCalls()
{
   if (Hyperkern::GetKernelCalls()) {
      return;
   }
   std::string channel = Hyperkern::kDefaultChannel;
   if (std::shared_ptr<Tirel::Service::App> app = Tirel::Service::GetApp()) {
      app->GetSettings().GetString(Hyperkern::kChannelSetting, channel);
   }
   Hyperkern::SetKernelCalls(Hyperkern::CreateKernelCalls(channel));
}

void ReleaseReceiveItem()
{
   Hostlib::MutexLock guard(receiveItemLock);
   receiveItem = nullptr;
}

void ReregisterRpc(int attempt, uint64_t delayUs);

// Schedules try `attempt` of the re-registration `delayUs` from now on the pool's
// clock. Only one is ever pending: the one receive, or the try before, schedules it.
void ScheduleReregister(int attempt, uint64_t delayUs)
{
   std::shared_ptr<Tirel::System::ThreadPool> pool = Pool();
   if (!pool) {
      return;
   }
   Hostlib::MutexLock guard(receiveItemLock);
   reregisterItem =
       pool->EnqueueAfter(delayUs, [attempt, delayUs] { ReregisterRpc(attempt, delayUs); });
}

void ReregisterRpc(int attempt, uint64_t delayUs)
{
   MXUser::WriteLockGuard guard(rpcLock);
   {
      Hostlib::MutexLock itemGuard(receiveItemLock);
      reregisterItem = nullptr;
   }
   if (!wanted) {
      return; // unregistered meanwhile
   }
   if (channelFd) {
      // The lost descriptor; replies still on their way now find no channel
      // instead of a reused descriptor number.
      Hyperkern::RpcClose(*channelFd);
      channelFd.reset();
   }
   int32_t fd = -1;
   uint32_t unused = 0;
   HYK_ReturnStatus status = Hyperkern::RpcRegister(kRpcEndpointName, 0, Hyperkern::kMsgInfoSize,
                                                    Hyperkern::kMsgBufferSize, &fd, &unused);
   if (status == Hyperkern::kStatusSuccess) {
      channelFd = std::make_unique<int32_t>(fd);
      Log_Level(125, "Re-registered with Hyperkern RPC (try %d)\n", attempt);
      RpcScheduleRecv(fd);
      return;
   }
   const uint64_t next = std::min(delayUs * 2, kReregisterMaxDelayUs);
   Log_Level(110, "Unable to re-register with Hyperkern RPC (try %d): %s; next try in %llu s\n",
             attempt, HYK_ReturnStatusToString(status).c_str(),
             static_cast<unsigned long long>(next / 1000000));
   ScheduleReregister(attempt + 1, next);
}

// Defined below RpcReadMsg, which it serves.
bool ReceiveOne(std::optional<ResolveKeyWork> &work) ZARNA_REQUIRES_SHARED(rpcLock);

} // namespace

bool RegisterRpc()
{
   MXUser::WriteLockGuard guard(rpcLock);
   EnsureKernelCalls();
   int32_t fd = -1;
   uint32_t unused = 0;
   HYK_ReturnStatus status = Hyperkern::RpcRegister(kRpcEndpointName, 0, Hyperkern::kMsgInfoSize,
                                                    Hyperkern::kMsgBufferSize, &fd, &unused);
   if (status != Hyperkern::kStatusSuccess || !Pool()) {
      Log_Level(110, "Unable to register with Hyperkern RPC\n");
      if (status == Hyperkern::kStatusSuccess) {
         Hyperkern::RpcClose(fd); // no thread pool to receive on
      }
      return false;
   }
   channelFd = std::make_unique<int32_t>(fd);
   wanted = true;
   Log_Level(130, "Registered with Hyperkern RPC\n");
   RpcScheduleRecv(*channelFd);
   return true;
}

bool IsRpcRegistered()
{
   MXUser::ReadLockGuard guard(rpcLock);
   return channelFd != nullptr;
}

void RpcScheduleRecv(int32_t fd)
{
   Log_Level(130, "Scheduling RPC receive\n");
   std::shared_ptr<Tirel::System::ThreadPool> pool = Pool();
   if (!pool) {
      Log_Level(110, "No thread pool to receive Hyperkern RPC messages on\n");
      return;
   }
   Hostlib::MutexLock guard(receiveItemLock);
   receiveItem = pool->EnqueueWhenReadable(fd, [] { RpcReadMsg(); });
}

void RpcReadMsg()
{
   // A message's work runs on this thread once the receive is armed again (the
   // next message is then taken by another thread), and after the channel lock is
   // released: the work sends its reply under that lock itself, and may take as
   // long as its key provider does.
   std::optional<ResolveKeyWork> work;
   {
      MXUser::ReadLockGuard guard(rpcLock);
      if (!ReceiveOne(work)) {
         return;
      }
   }
   if (work) {
      RunResolveKeyWork(*work);
   }
}

namespace {

// One message off the channel, under the channel lock. False when the receive is
// not to be armed again; `work` holds the message's work, if it has any.
bool ReceiveOne(std::optional<ResolveKeyWork> &work) ZARNA_REQUIRES_SHARED(rpcLock)
{
   if (!channelFd) {
      Log_Level(110, "Rpc read message request after rpc is unregistered\n");
      return false;
   }
   const int32_t fd = *channelFd;
   uint8_t buffer[Hyperkern::kMsgBufferSize];
   memset(buffer, 0, sizeof buffer);
   RPC_MsgInfoUser info{-1, 0, 0};
   uint32_t length = sizeof buffer;
   HYK_ReturnStatus status = Hyperkern::RpcGetMsg(fd, &info, buffer, &length, 0, 1);
   if (status != Hyperkern::kStatusSuccess) {
      Log_Level(110, "RpcGetMsg: error: %s\n", HYK_ReturnStatusToString(status).c_str());
      if (status == Hyperkern::kStatusChannelClosed) {
         // The descriptor stays readable once the other side is gone; arming it
         // again would only spin. A new registration gets a new descriptor.
         Log_Level(110, "Hyperkern RPC channel is closed; re-registering in %llu s\n",
                   static_cast<unsigned long long>(kReregisterFirstDelayUs / 1000000));
         ReleaseReceiveItem();
         ScheduleReregister(1, kReregisterFirstDelayUs);
         return false;
      }
      HYK_ReturnStatus reply = status;
      HYK_ReturnStatus sent = Hyperkern::RpcSendReply(fd, info.id, &reply, sizeof reply);
      if (sent != Hyperkern::kStatusSuccess) {
         Log_Level(110, "Sending reply %d failed: %s\n", static_cast<int>(reply),
                   HYK_ReturnStatusToString(sent).c_str());
      }
   } else {
      Log_Level(130, "Scheduling resolve work\n");
      work.emplace(ResolveKeyWork::FromMessage(info, buffer));
   }
   ReleaseReceiveItem();
   RpcScheduleRecv(fd);
   return true;
}

} // namespace

void RpcPostReply(int32_t msgId, uint32_t replyInfo, HYK_ReturnStatus status, int tries)
{
   MXUser::ReadLockGuard guard(rpcLock);
   if (!channelFd) {
      // The descriptor is closed (and its number may be reused): never write to it.
      Log_Level(115, "Dropping reply %d to message %d: rpc is unregistered\n",
                static_cast<int>(status), msgId);
      return;
   }
   HYK_ReturnStatus reply = status;
   HYK_ReturnStatus result = Hyperkern::RpcSendReply(*channelFd, msgId, &reply, sizeof reply);
   if (result == kReplyBusyStatus && tries - 1 > 0) {
      Log_Level(130, "Failed to send reply, rescheduling the reply\n");
      if (std::shared_ptr<Tirel::System::ThreadPool> pool = Pool()) {
         pool->EnqueueAfter(kReplyRetryDelayUs, [msgId, replyInfo, status, tries] {
            RpcPostReply(msgId, replyInfo, status, tries - 1);
         });
      }
   } else if (result != Hyperkern::kStatusSuccess) {
      Log_Level(110, "Sending reply %d failed, retries left: %d, error: %s\n",
                static_cast<int>(status), tries - 1, HYK_ReturnStatusToString(result).c_str());
   } else {
      Log_Level(130, "Sent reply to kernel\n");
   }
}

void UnregisterRpc()
{
   MXUser::WriteLockGuard guard(rpcLock);
   wanted = false;
   {
      Hostlib::MutexLock itemGuard(receiveItemLock);
      if (receiveItem) {
         receiveItem->Cancel();
         receiveItem = nullptr;
      }
      if (reregisterItem) {
         reregisterItem->Cancel();
         reregisterItem = nullptr;
      }
   }
   if (!channelFd) {
      return;
   }
   if (Hyperkern::RpcClose(*channelFd) != 0) {
      Log_Level(115, "Closing the Hyperkern RPC channel failed: %s\n", strerror(errno));
   }
   channelFd.reset();
}

} // namespace Zarna
