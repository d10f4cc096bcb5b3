#include "runtime/hyperkern/emulator_kernel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "runtime/hyperkern/seqpacket.h"

namespace Hyperkern {

EmulatorKernelCalls::EmulatorKernelCalls(std::string socketPath, int exchangeTimeoutMs)
    : mSocketPath(std::move(socketPath)), mExchangeTimeoutMs(exchangeTimeoutMs)
{
}

EmulatorKernelCalls::~EmulatorKernelCalls()
{
   Hostlib::MutexLock guard(mChannelsLock);
   for (auto &entry : mChannels) {
      ::close(entry.second->noticeFd);
      ::close(entry.second->callFd);
   }
}

std::shared_ptr<EmulatorKernelCalls::Channel> EmulatorKernelCalls::Find(int32_t fd)
{
   Hostlib::MutexLock guard(mChannelsLock);
   auto it = mChannels.find(fd);
   return it == mChannels.end() ? nullptr : it->second;
}

HYK_ReturnStatus EmulatorKernelCalls::Break(Channel &channel, HYK_ReturnStatus status, int *error)
{
   // Shutting the socket down keeps it readable (end of file), so a receive
   // armed on it learns at once that the channel is gone.
   channel.broken = true;
   shutdown(channel.noticeFd, SHUT_RDWR);
   shutdown(channel.callFd, SHUT_RDWR);
   *error = EPIPE;
   return status;
}

HYK_ReturnStatus EmulatorKernelCalls::Exchange(Channel &channel, uint32_t type, uint32_t seq,
                                               const Bytes &request, Bytes &answer,
                                               const uint8_t *&body, size_t &bodySize, int *error)
{
   if (channel.broken) {
      *error = EPIPE;
      return kStatusChannelClosed;
   }
   if (!SendFrame(channel.callFd, request)) {
      return Break(channel, kStatusChannelClosed, error);
   }
   for (;;) {
      switch (RecvFrame(channel.callFd, answer, mExchangeTimeoutMs)) {
      case RecvResult::kFrame:
         break;
      case RecvResult::kTimedOut:
         *error = ETIMEDOUT;
         return kStatusTimedOut;
      case RecvResult::kClosed:
      case RecvResult::kError:
         return Break(channel, kStatusChannelClosed, error);
      case RecvResult::kTruncated:
         return Break(channel, kStatusProtocolError, error);
      }
      Proto::Header header;
      if (!Proto::ParseHeader(answer.data(), answer.size(), header, body, bodySize)) {
         return Break(channel, kStatusProtocolError, error);
      }
      if (header.type == (Proto::kError | Proto::kAnswerBit)) {
         return Break(channel, kStatusProtocolError, error);
      }
      if (header.seq != seq) {
         // The answer to an exchange that timed out earlier.
         continue;
      }
      if (header.type != (type | Proto::kAnswerBit)) {
         return Break(channel, kStatusProtocolError, error);
      }
      return kStatusSuccess;
   }
}

HYK_ReturnStatus EmulatorKernelCalls::Register(const char *name, uint64_t flags, uint32_t infoSize,
                                               uint32_t bufferSize, int32_t *fdOut,
                                               uint32_t *auxOut, int *error)
{
   size_t nameLength = strnlen(name, Proto::kMaxName + 1);
   if (nameLength == 0 || nameLength > Proto::kMaxName) {
      *error = EINVAL;
      return kStatusInvalidArgument;
   }
   std::string reason;
   int callFd = ConnectSeqpacket(mSocketPath, &reason);
   if (callFd < 0) {
      *error = ECONNREFUSED;
      return kStatusChannelClosed;
   }
   int noticeFd = ConnectSeqpacket(mSocketPath, &reason);
   if (noticeFd < 0) {
      ::close(callFd);
      *error = ECONNREFUSED;
      return kStatusChannelClosed;
   }
   auto channel = std::make_shared<Channel>(noticeFd, callFd);
   HYK_ReturnStatus status;
   Proto::RegisterAnswer answer;
   {
      Hostlib::MutexLock guard(channel->exchangeLock);
      Proto::RegisterRequest request{flags, infoSize, bufferSize, std::string(name, nameLength)};
      Bytes frame;
      const uint8_t *body = nullptr;
      size_t bodySize = 0;
      const uint32_t seq = channel->nextSeq++;
      status = Exchange(*channel, Proto::kRegister, seq, Proto::Encode(seq, request), frame, body,
                        bodySize, error);
      if (status == kStatusSuccess && !Proto::Decode(body, bodySize, answer)) {
         status = kStatusProtocolError;
      }
      if (status == kStatusSuccess) {
         status = answer.status;
         *error = status == kStatusSuccess ? 0 : EPERM;
      }
      if (status == kStatusSuccess) {
         status = Attach(*channel, answer.token, error);
      }
   }
   if (status != kStatusSuccess) {
      ::close(noticeFd);
      ::close(callFd);
      return status;
   }
   {
      Hostlib::MutexLock guard(mChannelsLock);
      mChannels[noticeFd] = channel;
   }
   *fdOut = noticeFd;
   *auxOut = answer.aux;
   return kStatusSuccess;
}

HYK_ReturnStatus EmulatorKernelCalls::Attach(Channel &channel, uint64_t token, int *error)
{
   if (!SendFrame(channel.noticeFd, Proto::Encode(0, Proto::AttachRequest{token}))) {
      *error = EPIPE;
      return kStatusChannelClosed;
   }
   Bytes frame;
   if (RecvFrame(channel.noticeFd, frame, mExchangeTimeoutMs) != RecvResult::kFrame) {
      *error = EPIPE;
      return kStatusChannelClosed;
   }
   Proto::Header header;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   Proto::StatusAnswer answer;
   if (!Proto::ParseHeader(frame.data(), frame.size(), header, body, bodySize) ||
       header.type != (Proto::kAttach | Proto::kAnswerBit) ||
       !Proto::Decode(body, bodySize, answer)) {
      *error = EPROTO;
      return kStatusProtocolError;
   }
   *error = answer.status == kStatusSuccess ? 0 : EPERM;
   return answer.status;
}

HYK_ReturnStatus EmulatorKernelCalls::TakeNotice(Channel &channel, uint8_t *taken, int *error)
{
   *taken = 0;
   Bytes frame;
   switch (RecvFrame(channel.noticeFd, frame, 0)) {
   case RecvResult::kTimedOut:
      return kStatusSuccess;
   case RecvResult::kFrame:
      break;
   case RecvResult::kClosed:
   case RecvResult::kError:
      return Break(channel, kStatusChannelClosed, error);
   case RecvResult::kTruncated:
      return Break(channel, kStatusProtocolError, error);
   }
   Proto::Header header;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   if (!Proto::ParseHeader(frame.data(), frame.size(), header, body, bodySize) ||
       header.type != Proto::kReady || bodySize != 0) {
      return Break(channel, kStatusProtocolError, error);
   }
   *taken = 1;
   return kStatusSuccess;
}

HYK_ReturnStatus EmulatorKernelCalls::GetMsg(int32_t fd, RPC_MsgInfoUser *info, uint8_t *buffer,
                                             uint32_t *length, uint64_t arg4, uint64_t arg5,
                                             int *error)
{
   std::shared_ptr<Channel> channel = Find(fd);
   if (!channel) {
      *error = EBADF;
      return kStatusInvalidArgument;
   }
   Hostlib::MutexLock guard(channel->exchangeLock);
   if (channel->broken) {
      *error = EPIPE;
      return kStatusChannelClosed;
   }
   uint8_t noticeTaken = 0;
   HYK_ReturnStatus noticeStatus = TakeNotice(*channel, &noticeTaken, error);
   if (noticeStatus != kStatusSuccess) {
      return noticeStatus;
   }
   Proto::GetMsgRequest request{arg4, arg5, *length, *info, noticeTaken};
   Proto::GetMsgAnswer answer;
   HYK_ReturnStatus status = Call(*channel, Proto::kGetMsg, request, answer, error);
   if (status != kStatusSuccess) {
      return status;
   }
   if (answer.message.size() > *length) {
      return Break(*channel, kStatusProtocolError, error);
   }
   // The kernel may fill the record even when the call fails.
   *info = answer.info;
   if (answer.status != kStatusSuccess) {
      *error = EIO;
      return answer.status;
   }
   if (!answer.message.empty()) {
      memcpy(buffer, answer.message.data(), answer.message.size());
   }
   *length = static_cast<uint32_t>(answer.message.size());
   return kStatusSuccess;
}

HYK_ReturnStatus EmulatorKernelCalls::SendReply(int32_t fd, int32_t msgId, const uint8_t *reply,
                                                uint32_t replyLength, int *error)
{
   if (replyLength > Proto::kMaxReply) {
      *error = EINVAL;
      return kStatusInvalidArgument;
   }
   std::shared_ptr<Channel> channel = Find(fd);
   if (!channel) {
      *error = EBADF;
      return kStatusInvalidArgument;
   }
   Hostlib::MutexLock guard(channel->exchangeLock);
   Proto::SendReplyRequest request{msgId, Bytes(reply, reply + replyLength)};
   Proto::StatusAnswer answer;
   HYK_ReturnStatus status = Call(*channel, Proto::kSendReply, request, answer, error);
   if (status != kStatusSuccess) {
      return status;
   }
   *error = answer.status == kStatusSuccess ? 0 : EIO;
   return answer.status;
}

int EmulatorKernelCalls::Close(int32_t fd)
{
   std::shared_ptr<Channel> channel;
   {
      Hostlib::MutexLock guard(mChannelsLock);
      auto it = mChannels.find(fd);
      if (it == mChannels.end()) {
         errno = EBADF;
         return -1;
      }
      channel = std::move(it->second);
      mChannels.erase(it);
   }
   // An exchange still running on another thread finishes before the number is released.
   Hostlib::MutexLock guard(channel->exchangeLock);
   ::close(channel->callFd);
   return ::close(channel->noticeFd);
}

} // namespace Hyperkern
