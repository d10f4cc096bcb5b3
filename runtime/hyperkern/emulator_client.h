// Control connection to the kernel emulator: queue requests, read what it
// recorded, and manage its emulated key cache. Used by the emulator's own
// control commands and by the key cache backend "emulator".
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/hostlib/mutex.h"
#include "runtime/hyperkern/protocol.h"

namespace Hyperkern {

// SHA-256 of a key id: the emulated cache names keys by provider and this digest.
Proto::KeyIdDigest DigestKeyId(std::string_view keyId);

class EmulatorClient {
public:
   // Connects and says hello; null with a reason in *error when that fails.
   static std::unique_ptr<EmulatorClient> Connect(const std::string &socketPath,
                                                  const std::string &clientName, std::string *error,
                                                  int timeoutMs = 5000);
   ~EmulatorClient();
   EmulatorClient(const EmulatorClient &) = delete;
   EmulatorClient &operator=(const EmulatorClient &) = delete;

   // Each call returns kStatusSuccess when the emulator answered (the answer's
   // own status is in the out record or the result of the key calls), or the
   // status of a failed exchange with a reason in *error.
   HYK_ReturnStatus QueueMessage(const Bytes &message, uint32_t timeoutMs,
                                 Proto::QueueMsgAnswer &answer, std::string *error);
   HYK_ReturnStatus ListReplies(Proto::ListRepliesAnswer &answer, std::string *error);
   HYK_ReturnStatus ListKeys(bool reveal, Proto::ListKeysAnswer &answer, std::string *error);
   // These return the emulator's answer status directly.
   HYK_ReturnStatus AddKey(const Proto::KeyAddRequest &request, std::string *error);
   HYK_ReturnStatus SetKeyType(const Proto::KeySetTypeRequest &request, std::string *error);
   HYK_ReturnStatus RemoveKey(const Proto::KeyRemoveRequest &request, std::string *error);

private:
   EmulatorClient(int fd, int timeoutMs) : mFd(fd), mTimeoutMs(timeoutMs) {}
   // One request/answer exchange; on success `frame` holds the answer and
   // body/bodySize point at its body.
   HYK_ReturnStatus Roundtrip(uint32_t type, const std::function<Bytes(uint32_t seq)> &encode,
                              int timeoutMs, Bytes &frame, const uint8_t *&body, size_t &bodySize,
                              std::string *error) ZARNA_EXCLUDES(mLock);
   HYK_ReturnStatus StatusCall(uint32_t type, const std::function<Bytes(uint32_t seq)> &encode,
                               std::string *error);

   const int mFd;
   const int mTimeoutMs;
   Hostlib::Mutex mLock;
   uint32_t mNextSeq ZARNA_GUARDED_BY(mLock) = 1;
   bool mBroken ZARNA_GUARDED_BY(mLock) = false;
};

} // namespace Hyperkern
