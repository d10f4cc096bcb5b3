// The kernel RPC calls: numbers, argument order, record layout.
//
// A call is a system call: a number and up to six register-wide arguments
// (pointers and 64-bit integers; 32-bit signed values sign-extended). The typed
// functions below marshal their arguments exactly so and hand them to the
// process-wide KernelCalls backend: the real system call on the hypervisor, the
// emulator's socket on Linux, an in-memory kernel in tests.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "runtime/hyperkern/status.h"

// Filled by RpcGetMsg. Little-endian, 12 bytes.
struct RPC_MsgInfoUser {
   int32_t id;         // message id; preset to -1 before the call
   uint32_t context;   // carried with the message, not interpreted
   uint32_t replyInfo; // carried with the message and passed along with the reply
};
static_assert(sizeof(RPC_MsgInfoUser) == 12, "RPC_MsgInfoUser is a fixed 12-byte record");

namespace Hyperkern {

inline constexpr long kRpcRegisterCall = 2278;  // 0x8E6
inline constexpr long kRpcGetMsgCall = 2065;    // 0x811
inline constexpr long kRpcSendReplyCall = 2068; // 0x814

inline constexpr uint32_t kMsgInfoSize = sizeof(RPC_MsgInfoUser);
inline constexpr uint32_t kMsgBufferSize = 8192;
inline constexpr uint32_t kReplySize = sizeof(HYK_ReturnStatus);

using CallArgs = std::array<uint64_t, 6>;

// The seam between host code and whatever plays the kernel.
class KernelCalls {
public:
   virtual ~KernelCalls() = default;
   // One call. On a non-zero status *error may be set to an error number
   // (0 when the kernel gave none).
   virtual HYK_ReturnStatus Invoke(long number, const CallArgs &args, int *error) = 0;
   // The ordinary close of a channel descriptor; 0 or -1 with errno.
   virtual int Close(int32_t fd) = 0;
};

// Base for backends that are not the real kernel: decodes the raw call into the
// three operations with checked arguments. Unknown numbers answer
// kStatusNotSupported (ENOSYS), null pointers kStatusInvalidArgument (EFAULT).
class KernelCallHandler : public KernelCalls {
public:
   HYK_ReturnStatus Invoke(long number, const CallArgs &args, int *error) final;

protected:
   virtual HYK_ReturnStatus Register(const char *name, uint64_t flags, uint32_t infoSize,
                                     uint32_t bufferSize, int32_t *fdOut, uint32_t *auxOut,
                                     int *error) = 0;
   // *length: buffer capacity in, message length out.
   virtual HYK_ReturnStatus GetMsg(int32_t fd, RPC_MsgInfoUser *info, uint8_t *buffer,
                                   uint32_t *length, uint64_t arg4, uint64_t arg5, int *error) = 0;
   virtual HYK_ReturnStatus SendReply(int32_t fd, int32_t msgId, const uint8_t *reply,
                                      uint32_t replyLength, int *error) = 0;
};

// Process-wide backend. Null (the initial value) makes every call fail with
// kStatusNotSupported and errno ENOSYS.
void SetKernelCalls(std::shared_ptr<KernelCalls> calls);
std::shared_ptr<KernelCalls> GetKernelCalls();

// The calls. A non-zero status stores the call's error number in errno.
HYK_ReturnStatus RpcRegister(const char *endpointName, uint64_t flags, uint64_t infoSize,
                             uint64_t bufferSize, int32_t *channelFdOut, uint32_t *auxOut);
HYK_ReturnStatus RpcGetMsg(int32_t fd, RPC_MsgInfoUser *info, void *buffer, uint32_t *length,
                           uint64_t arg4, uint64_t arg5);
HYK_ReturnStatus RpcSendReply(int32_t fd, int32_t msgId, const HYK_ReturnStatus *reply,
                              uint64_t replyLength);
int RpcClose(int32_t fd);

} // namespace Hyperkern
