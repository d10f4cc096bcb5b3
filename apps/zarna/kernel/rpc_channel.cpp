#include "apps/zarna/kernel/rpc_channel.h"

#include <cerrno>
#include <cstring>
#include <memory>

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

// The armed receive. Its own small lock because the receive replaces it while
// holding rpcLock only for reading, and the next receive may already be
// running when the previous one stores it.
Hostlib::Mutex receiveItemLock;
std::shared_ptr<Tirel::System::CancellableItem> receiveItem ZARNA_GUARDED_BY(receiveItemLock);

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
   Log_Level(130, "Registered with Hyperkern RPC\n");
   RpcScheduleRecv(*channelFd);
   return true;
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
   MXUser::ReadLockGuard guard(rpcLock);
   if (!channelFd) {
      Log_Level(110, "Rpc read message request after rpc is unregistered\n");
      return;
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
         // The descriptor stays readable once the other side is gone; arming
         // it again would only spin.
         Log_Level(110, "Hyperkern RPC channel is closed; no more requests will be received\n");
         ReleaseReceiveItem();
         return;
      }
      HYK_ReturnStatus reply = status;
      HYK_ReturnStatus sent = Hyperkern::RpcSendReply(fd, info.id, &reply, sizeof reply);
      if (sent != Hyperkern::kStatusSuccess) {
         Log_Level(110, "Sending reply %d failed: %s\n", static_cast<int>(reply),
                   HYK_ReturnStatusToString(sent).c_str());
      }
   } else {
      Log_Level(130, "Scheduling resolve work\n");
      auto work = std::make_shared<const ResolveKeyWork>(ResolveKeyWork::FromMessage(info, buffer));
      if (std::shared_ptr<Tirel::System::ThreadPool> pool = Pool()) {
         pool->Enqueue([work] { RunResolveKeyWork(*work); });
      }
   }
   ReleaseReceiveItem();
   RpcScheduleRecv(fd);
}

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
   {
      Hostlib::MutexLock itemGuard(receiveItemLock);
      if (receiveItem) {
         receiveItem->Cancel();
         receiveItem = nullptr;
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
