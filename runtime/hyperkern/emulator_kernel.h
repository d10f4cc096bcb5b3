// The kernel calls on Linux: each call is one request/answer exchange with the
// kernel emulator over its SOCK_SEQPACKET socket. Registration opens two
// connections: one for the exchanges, and the channel descriptor, on which the
// emulator writes only Ready notices, so that it is readable exactly while a
// message is queued (answers to calls of other threads never wake a receive).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "runtime/hostlib/mutex.h"
#include "runtime/hyperkern/kernel_calls.h"
#include "runtime/hyperkern/protocol.h"

namespace Hyperkern {

class EmulatorKernelCalls final : public KernelCallHandler {
public:
   // exchangeTimeoutMs bounds every call (an emulator that stops answering
   // yields kStatusTimedOut instead of a hung thread).
   explicit EmulatorKernelCalls(std::string socketPath, int exchangeTimeoutMs = 5000);
   ~EmulatorKernelCalls() override;

   int Close(int32_t fd) override;

protected:
   HYK_ReturnStatus Register(const char *name, uint64_t flags, uint32_t infoSize,
                             uint32_t bufferSize, int32_t *fdOut, uint32_t *auxOut,
                             int *error) override;
   HYK_ReturnStatus GetMsg(int32_t fd, RPC_MsgInfoUser *info, uint8_t *buffer, uint32_t *length,
                           uint64_t arg4, uint64_t arg5, int *error) override;
   HYK_ReturnStatus SendReply(int32_t fd, int32_t msgId, const uint8_t *reply, uint32_t replyLength,
                              int *error) override;

private:
   struct Channel {
      Channel(int notice, int call) : noticeFd(notice), callFd(call) {}
      const int noticeFd; // the channel descriptor
      const int callFd;
      // Exchanges on one channel are serialised so answers cannot interleave.
      Hostlib::Mutex exchangeLock;
      uint32_t nextSeq ZARNA_GUARDED_BY(exchangeLock) = 1;
      bool broken ZARNA_GUARDED_BY(exchangeLock) = false;
   };

   std::shared_ptr<Channel> Find(int32_t fd);
   // Sends the request and waits for its answer, skipping Ready notices and
   // stale answers. A closed or garbled connection marks the channel broken.
   HYK_ReturnStatus Exchange(Channel &channel, uint32_t type, uint32_t seq, const Bytes &request,
                             Bytes &answer, const uint8_t *&body, size_t &bodySize, int *error)
       ZARNA_REQUIRES(channel.exchangeLock);
   HYK_ReturnStatus Break(Channel &channel, HYK_ReturnStatus status, int *error)
       ZARNA_REQUIRES(channel.exchangeLock);
   // One call on a live channel: the request out, its answer decoded. An answer
   // that does not decode breaks the channel.
   template <typename Request, typename Answer>
   HYK_ReturnStatus Call(Channel &channel, uint32_t type, const Request &request, Answer &answer,
                         int *error) ZARNA_REQUIRES(channel.exchangeLock)
   {
      Bytes frame;
      const uint8_t *body = nullptr;
      size_t bodySize = 0;
      const uint32_t seq = channel.nextSeq++;
      HYK_ReturnStatus status =
         Exchange(channel, type, seq, Proto::Encode(seq, request), frame, body, bodySize, error);
      if (status != kStatusSuccess) {
         return status;
      }
      if (!Proto::Decode(body, bodySize, answer)) {
         return Break(channel, kStatusProtocolError, error);
      }
      return kStatusSuccess;
   }
   // Binds the notice connection to the registered channel.
   HYK_ReturnStatus Attach(Channel &channel, uint64_t token, int *error)
       ZARNA_REQUIRES(channel.exchangeLock);
   // Takes the pending Ready notice, if any, off the channel descriptor.
   HYK_ReturnStatus TakeNotice(Channel &channel, uint8_t *taken, int *error)
       ZARNA_REQUIRES(channel.exchangeLock);

   const std::string mSocketPath;
   const int mExchangeTimeoutMs;
   Hostlib::Mutex mChannelsLock;
   std::map<int32_t, std::shared_ptr<Channel>> mChannels ZARNA_GUARDED_BY(mChannelsLock);
};

} // namespace Hyperkern
