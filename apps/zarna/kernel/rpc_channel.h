// The agent's end of the kernel RPC channel: registration of "resolveKeyOp",
// the receive loop on the framework's thread pool, replies with their retry
// policy, and unregistration.
//
// The channel state is process-wide. Receives and replies hold "zarna-rpc-lock"
// for reading, registration and unregistration for writing.
#pragma once

#include <cstdint>

#include "runtime/hyperkern/status.h"

namespace Zarna {

inline constexpr const char *kRpcEndpointName = "resolveKeyOp";
// Reply status of a request that could not be served.
inline constexpr HYK_ReturnStatus kResolveFailureStatus = 0xBAD0003;
// The kernel's "try again later" answer to a reply.
inline constexpr HYK_ReturnStatus kReplyBusyStatus = 0xBAD0006;
inline constexpr int kReplyTries = 5;
inline constexpr uint64_t kReplyRetryDelayUs = 500000;
// A channel that closes under a registered agent (the kernel side restarted) is
// registered again after 1 s, then after twice the previous delay, at most 60 s.
inline constexpr uint64_t kReregisterFirstDelayUs = 1000000;
inline constexpr uint64_t kReregisterMaxDelayUs = 60000000;

// Registers with the kernel and arms the first receive. Uses the installed
// kernel call backend, or the one named by "hyperkern/channel".
bool RegisterRpc();
// Cancels the armed receive (and a pending re-registration) and closes the
// channel. Replies and callbacks that come later find the channel gone and do
// nothing.
void UnregisterRpc();
// True while a channel is open (registered and not yet closed or lost).
bool IsRpcRegistered();
// Arms a one-shot readable callback that runs RpcReadMsg.
void RpcScheduleRecv(int32_t fd);
// Takes one message off the channel, hands it to the resolve work, re-arms.
void RpcReadMsg();
// Sends `status` as the reply to `msgId`; on a busy answer retries later,
// `tries` attempts in all.
void RpcPostReply(int32_t msgId, uint32_t replyInfo, HYK_ReturnStatus status, int tries);

} // namespace Zarna
