#include "apps/zarna/kernel/kernel_request.h"

#include "runtime/hostlib/safe_text.h"

#include <cstdio>
#include <cstring>

namespace Zarna {

ResolveKeyWork ResolveKeyWork::FromMessage(const RPC_MsgInfoUser &info, const uint8_t *buffer)
{
   ResolveKeyWork work;
   uint8_t head[8];
   const uint32_t id = static_cast<uint32_t>(info.id);
   for (int i = 0; i < 4; ++i) {
      head[i] = static_cast<uint8_t>(id >> (8 * i));
      head[4 + i] = static_cast<uint8_t>(info.context >> (8 * i));
   }
   for (int i = 7; i >= 0; --i) {
      work.infoHead = (work.infoHead << 8) | head[i];
   }
   work.replyInfo = info.replyInfo;
   memcpy(work.buffer, buffer, sizeof work.buffer);
   return work;
}

std::string_view ResolveKeyWork::LocatorText() const
{
   const char *text = reinterpret_cast<const char *>(buffer);
   return std::string_view(text, strnlen(text, sizeof buffer));
}

std::string LogSafeText(std::string_view text)
{
   return Hostlib::EscapeText(text);
}

} // namespace Zarna
