// One kernel request as the receive hands it to the resolve work: the head of
// the message info, its reply field and the whole message buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/hyperkern/kernel_calls.h"

namespace Zarna {

struct ResolveKeyWork {
   // The first 8 bytes of RPC_MsgInfoUser, little-endian: message id in the low 32 bits.
   uint64_t infoHead = 0;
   // The third RPC_MsgInfoUser field, passed along with the reply.
   uint32_t replyInfo = 0;
   uint8_t buffer[Hyperkern::kMsgBufferSize] = {};

   static ResolveKeyWork FromMessage(const RPC_MsgInfoUser &info, const uint8_t *buffer);

   int32_t MessageId() const { return static_cast<int32_t>(static_cast<uint32_t>(infoHead)); }
   // The key-locator text: up to the first NUL, or the whole buffer when the
   // kernel filled it without one.
   std::string_view LocatorText() const;
};

// Text from the kernel made safe for one log line: control bytes, backslash and
// bytes above 0x7E are written as \xNN.
std::string LogSafeText(std::string_view text);

} // namespace Zarna
