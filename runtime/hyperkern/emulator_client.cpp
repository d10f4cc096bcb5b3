#include "runtime/hyperkern/emulator_client.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "runtime/hyperkern/seqpacket.h"

namespace Hyperkern {

Proto::KeyIdDigest DigestKeyId(std::string_view keyId)
{
   Proto::KeyIdDigest digest{};
   unsigned int size = 0;
   EVP_Digest(keyId.data(), keyId.size(), digest.data(), &size, EVP_sha256(), nullptr);
   return digest;
}

std::unique_ptr<EmulatorClient> EmulatorClient::Connect(const std::string &socketPath,
                                                        const std::string &clientName,
                                                        std::string *error, int timeoutMs)
{
   int fd = ConnectSeqpacket(socketPath, error);
   if (fd < 0) {
      return nullptr;
   }
   std::unique_ptr<EmulatorClient> client(new EmulatorClient(fd, timeoutMs));
   Proto::HelloRequest hello{Proto::kVersion, clientName};
   Bytes frame;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   HYK_ReturnStatus status = client->Roundtrip(
       Proto::kHello, [&](uint32_t seq) { return Proto::Encode(seq, hello); }, timeoutMs, frame,
       body, bodySize, error);
   if (status != kStatusSuccess) {
      return nullptr;
   }
   Proto::HelloAnswer answer;
   if (!Proto::Decode(body, bodySize, answer)) {
      *error = "malformed hello answer";
      return nullptr;
   }
   if (answer.status != kStatusSuccess) {
      *error = "emulator refused the connection: " + HYK_ReturnStatusToString(answer.status);
      return nullptr;
   }
   return client;
}

EmulatorClient::~EmulatorClient()
{
   ::close(mFd);
}

HYK_ReturnStatus EmulatorClient::Roundtrip(uint32_t type,
                                           const std::function<Bytes(uint32_t seq)> &encode,
                                           int timeoutMs, Bytes &frame, const uint8_t *&body,
                                           size_t &bodySize, std::string *error)
{
   Hostlib::MutexLock guard(mLock);
   if (mBroken) {
      *error = "connection to the emulator is closed";
      return kStatusChannelClosed;
   }
   const uint32_t seq = mNextSeq++;
   if (!SendFrame(mFd, encode(seq))) {
      mBroken = true;
      *error = "cannot send to the emulator";
      return kStatusChannelClosed;
   }
   for (;;) {
      switch (RecvFrame(mFd, frame, timeoutMs)) {
      case RecvResult::kFrame:
         break;
      case RecvResult::kTimedOut:
         *error = "the emulator did not answer in time";
         return kStatusTimedOut;
      case RecvResult::kClosed:
      case RecvResult::kError:
         mBroken = true;
         *error = "the emulator closed the connection";
         return kStatusChannelClosed;
      case RecvResult::kTruncated:
         mBroken = true;
         *error = "oversized frame from the emulator";
         return kStatusProtocolError;
      }
      Proto::Header header;
      if (!Proto::ParseHeader(frame.data(), frame.size(), header, body, bodySize)) {
         mBroken = true;
         *error = "malformed frame from the emulator";
         return kStatusProtocolError;
      }
      if (header.seq != seq && header.type != (Proto::kError | Proto::kAnswerBit)) {
         continue; // the late answer of an exchange that timed out
      }
      if (header.type != (type | Proto::kAnswerBit)) {
         mBroken = true;
         *error = "the emulator rejected the request";
         return kStatusProtocolError;
      }
      return kStatusSuccess;
   }
}

HYK_ReturnStatus EmulatorClient::QueueMessage(const Bytes &message, uint32_t timeoutMs,
                                              Proto::QueueMsgAnswer &answer, std::string *error)
{
   Proto::QueueMsgRequest request{timeoutMs, message};
   Bytes frame;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   // The emulator answers when the request ends or its time runs out.
   const int wait =
       static_cast<int>(std::min<uint64_t>(uint64_t{timeoutMs} + mTimeoutMs, INT32_MAX));
   HYK_ReturnStatus status = Roundtrip(
       Proto::kQueueMsg, [&](uint32_t seq) { return Proto::Encode(seq, request); }, wait, frame,
       body, bodySize, error);
   if (status == kStatusSuccess && !Proto::Decode(body, bodySize, answer)) {
      *error = "malformed answer";
      status = kStatusProtocolError;
   }
   return status;
}

HYK_ReturnStatus EmulatorClient::ListReplies(Proto::ListRepliesAnswer &answer, std::string *error)
{
   Bytes frame;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   HYK_ReturnStatus status = Roundtrip(
       Proto::kListReplies, [](uint32_t seq) { return Proto::EncodeListReplies(seq); }, mTimeoutMs,
       frame, body, bodySize, error);
   if (status == kStatusSuccess && !Proto::Decode(body, bodySize, answer)) {
      *error = "malformed answer";
      status = kStatusProtocolError;
   }
   return status;
}

HYK_ReturnStatus EmulatorClient::ListKeys(bool reveal, Proto::ListKeysAnswer &answer,
                                          std::string *error)
{
   Proto::ListKeysRequest request{static_cast<uint8_t>(reveal ? 1 : 0)};
   Bytes frame;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   HYK_ReturnStatus status = Roundtrip(
       Proto::kListKeys, [&](uint32_t seq) { return Proto::Encode(seq, request); }, mTimeoutMs,
       frame, body, bodySize, error);
   if (status == kStatusSuccess && !Proto::Decode(body, bodySize, answer)) {
      *error = "malformed answer";
      status = kStatusProtocolError;
   }
   return status;
}

HYK_ReturnStatus EmulatorClient::StatusCall(uint32_t type,
                                            const std::function<Bytes(uint32_t seq)> &encode,
                                            std::string *error)
{
   Bytes frame;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   HYK_ReturnStatus status = Roundtrip(type, encode, mTimeoutMs, frame, body, bodySize, error);
   if (status != kStatusSuccess) {
      return status;
   }
   Proto::StatusAnswer answer;
   if (!Proto::Decode(body, bodySize, answer)) {
      *error = "malformed answer";
      return kStatusProtocolError;
   }
   if (answer.status != kStatusSuccess) {
      *error = HYK_ReturnStatusToString(answer.status);
   }
   return answer.status;
}

HYK_ReturnStatus EmulatorClient::AddKey(const Proto::KeyAddRequest &request, std::string *error)
{
   return StatusCall(
       Proto::kKeyAdd, [&](uint32_t seq) { return Proto::Encode(seq, request); }, error);
}

HYK_ReturnStatus EmulatorClient::SetKeyType(const Proto::KeySetTypeRequest &request,
                                            std::string *error)
{
   return StatusCall(
       Proto::kKeySetType, [&](uint32_t seq) { return Proto::Encode(seq, request); }, error);
}

HYK_ReturnStatus EmulatorClient::RemoveKey(const Proto::KeyRemoveRequest &request,
                                           std::string *error)
{
   return StatusCall(
       Proto::kKeyRemove, [&](uint32_t seq) { return Proto::Encode(seq, request); }, error);
}

} // namespace Hyperkern
