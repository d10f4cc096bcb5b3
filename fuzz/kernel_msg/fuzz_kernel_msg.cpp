// Kernel messages and emulator frames: every decoder must survive any bytes,
// and whatever decodes must encode back to the same bytes. Decoded requests are
// also played into the emulator's state, and the frame is read as a kernel
// message buffer the way the receive hands it on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "apps/zarna/kernel/kernel_request.h"
#include "peers/hyperkern-emu/emulator_core.h"
#include "runtime/hyperkern/protocol.h"

using namespace Hyperkern;
using namespace Hyperkern::Proto;

namespace {

void Check(bool condition)
{
   if (!condition) {
      abort();
   }
}

template <typename M>
bool RoundTrips(const uint8_t *data, size_t size, const Header &h, const uint8_t *body,
                size_t bodySize, M &m)
{
   if (!Decode(body, bodySize, m)) {
      return false;
   }
   Bytes again = Encode(h.seq, m);
   Check(again.size() == size && memcmp(again.data(), data, size) == 0);
   return true;
}

template <typename M> void TryAll(const uint8_t *body, size_t bodySize)
{
   M m;
   (void)Decode(body, bodySize, m);
}

void KernelMessage(const uint8_t *data, size_t size)
{
   uint8_t buffer[kMsgBufferSize];
   memset(buffer, 0, sizeof buffer);
   memcpy(buffer, data, size < sizeof buffer ? size : sizeof buffer);
   RPC_MsgInfoUser info{size >= 4 ? static_cast<int32_t>(data[0] | (data[1] << 8)) : -1, 0, 7};
   Zarna::ResolveKeyWork work = Zarna::ResolveKeyWork::FromMessage(info, buffer);
   std::string_view text = work.LocatorText();
   Check(text.size() <= kMsgBufferSize);
   std::string safe = Zarna::LogSafeText(text);
   for (unsigned char c : safe) {
      Check(c >= 0x20 && c <= 0x7E);
   }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   KernelMessage(data, size);

   Header h;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   if (!ParseHeader(data, size, h, body, bodySize)) {
      return 0;
   }
   TryAll<RegisterAnswer>(body, bodySize);
   TryAll<GetMsgAnswer>(body, bodySize);
   TryAll<QueueMsgAnswer>(body, bodySize);
   TryAll<ListRepliesAnswer>(body, bodySize);
   TryAll<ListKeysAnswer>(body, bodySize);
   TryAll<HelloAnswer>(body, bodySize);

   static HyperkernEmu::EmulatorCore core(HyperkernEmu::Options{},
                                          HyperkernEmu::EmulatorCore::Clock::now());
   const auto now = HyperkernEmu::EmulatorCore::Clock::now();
   std::vector<HyperkernEmu::Completion> done;
   switch (h.type) {
   case kRegister: {
      RegisterRequest m;
      uint32_t aux;
      if (RoundTrips(data, size, h, body, bodySize, m) && core.Register(m, &aux) == 0) {
         core.ChannelGone(done);
      }
      break;
   }
   case kAttach: {
      AttachRequest m;
      RoundTrips(data, size, h, body, bodySize, m);
      break;
   }
   case kGetMsg: {
      GetMsgRequest m;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         GetMsgAnswer answer = core.GetMsg(m);
         Check(answer.message.size() <= m.capacity);
      }
      break;
   }
   case kSendReply: {
      SendReplyRequest m;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         core.Reply(m, now, done);
      }
      break;
   }
   case kHello: {
      HelloRequest m;
      RoundTrips(data, size, h, body, bodySize, m);
      break;
   }
   case kQueueMsg: {
      QueueMsgRequest m;
      int32_t id;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         core.Queue(m.message, 0, now, &id);
      }
      break;
   }
   case kKeyAdd: {
      KeyAddRequest m;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         core.AddKey(m);
      }
      break;
   }
   case kKeySetType: {
      KeySetTypeRequest m;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         core.SetKeyType(m);
      }
      break;
   }
   case kKeyRemove: {
      KeyRemoveRequest m;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         core.RemoveKey(m);
      }
      break;
   }
   case kListKeys: {
      ListKeysRequest m;
      if (RoundTrips(data, size, h, body, bodySize, m)) {
         ListKeysAnswer answer = core.ListKeys(m.reveal != 0);
         Check(Encode(h.seq, answer).size() <= kMaxFrame);
      }
      break;
   }
   case kGetMsg | kAnswerBit: {
      GetMsgAnswer m;
      RoundTrips(data, size, h, body, bodySize, m);
      break;
   }
   case kListKeys | kAnswerBit: {
      ListKeysAnswer m;
      RoundTrips(data, size, h, body, bodySize, m);
      break;
   }
   case kListReplies | kAnswerBit: {
      ListRepliesAnswer m;
      RoundTrips(data, size, h, body, bodySize, m);
      break;
   }
   default:
      break;
   }
   return 0;
}
