#include "runtime/hyperkern/kernel_calls.h"

#include <cerrno>
#include <mutex>
#include <utility>

namespace Hyperkern {
namespace {

std::mutex gCallsLock;
std::shared_ptr<KernelCalls> gCalls; // guarded by gCallsLock

template <typename T> T *Pointer(uint64_t value)
{
   return reinterpret_cast<T *>(static_cast<uintptr_t>(value));
}

uint64_t Arg(const void *pointer)
{
   return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}

uint64_t SignExtended(int32_t value)
{
   return static_cast<uint64_t>(static_cast<int64_t>(value));
}

bool FitsU32(uint64_t value)
{
   return value <= UINT32_MAX;
}

HYK_ReturnStatus Finish(HYK_ReturnStatus status, int error)
{
   if (status != kStatusSuccess) {
      errno = error;
   }
   return status;
}

HYK_ReturnStatus Call(long number, const CallArgs &args)
{
   std::shared_ptr<KernelCalls> calls = GetKernelCalls();
   if (!calls) {
      return Finish(kStatusNotSupported, ENOSYS);
   }
   int error = 0;
   HYK_ReturnStatus status = calls->Invoke(number, args, &error);
   return Finish(status, error);
}

} // namespace

HYK_ReturnStatus KernelCallHandler::Invoke(long number, const CallArgs &a, int *error)
{
   *error = 0;
   switch (number) {
   case kRpcRegisterCall:
      if (a[0] == 0 || a[4] == 0 || a[5] == 0) {
         *error = EFAULT;
         return kStatusInvalidArgument;
      }
      if (!FitsU32(a[2]) || !FitsU32(a[3])) {
         *error = EINVAL;
         return kStatusInvalidArgument;
      }
      return Register(Pointer<const char>(a[0]), a[1], static_cast<uint32_t>(a[2]),
                      static_cast<uint32_t>(a[3]), Pointer<int32_t>(a[4]), Pointer<uint32_t>(a[5]),
                      error);
   case kRpcGetMsgCall:
      if (a[1] == 0 || a[2] == 0 || a[3] == 0) {
         *error = EFAULT;
         return kStatusInvalidArgument;
      }
      return GetMsg(static_cast<int32_t>(a[0]), Pointer<RPC_MsgInfoUser>(a[1]),
                    Pointer<uint8_t>(a[2]), Pointer<uint32_t>(a[3]), a[4], a[5], error);
   case kRpcSendReplyCall:
      if (a[2] == 0) {
         *error = EFAULT;
         return kStatusInvalidArgument;
      }
      if (!FitsU32(a[3])) {
         *error = EINVAL;
         return kStatusInvalidArgument;
      }
      return SendReply(static_cast<int32_t>(a[0]), static_cast<int32_t>(a[1]),
                       Pointer<const uint8_t>(a[2]), static_cast<uint32_t>(a[3]), error);
   default:
      *error = ENOSYS;
      return kStatusNotSupported;
   }
}

void SetKernelCalls(std::shared_ptr<KernelCalls> calls)
{
   std::lock_guard<std::mutex> guard(gCallsLock);
   gCalls = std::move(calls);
}

std::shared_ptr<KernelCalls> GetKernelCalls()
{
   std::lock_guard<std::mutex> guard(gCallsLock);
   return gCalls;
}

HYK_ReturnStatus RpcRegister(const char *endpointName, uint64_t flags, uint64_t infoSize,
                             uint64_t bufferSize, int32_t *channelFdOut, uint32_t *auxOut)
{
   return Call(kRpcRegisterCall,
               {Arg(endpointName), flags, infoSize, bufferSize, Arg(channelFdOut), Arg(auxOut)});
}

HYK_ReturnStatus RpcGetMsg(int32_t fd, RPC_MsgInfoUser *info, void *buffer, uint32_t *length,
                           uint64_t arg4, uint64_t arg5)
{
   return Call(kRpcGetMsgCall, {SignExtended(fd), Arg(info), Arg(buffer), Arg(length), arg4, arg5});
}

HYK_ReturnStatus RpcSendReply(int32_t fd, int32_t msgId, const HYK_ReturnStatus *reply,
                              uint64_t replyLength)
{
   return Call(kRpcSendReplyCall,
               {SignExtended(fd), SignExtended(msgId), Arg(reply), replyLength, 0, 0});
}

int RpcClose(int32_t fd)
{
   std::shared_ptr<KernelCalls> calls = GetKernelCalls();
   if (!calls) {
      errno = EBADF;
      return -1;
   }
   return calls->Close(fd);
}

} // namespace Hyperkern
