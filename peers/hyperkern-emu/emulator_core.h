// What the emulated kernel knows, without any I/O: the registered endpoint,
// the message queue, requests in flight, the record of reply calls, the
// scripted answers and the emulated key cache.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/hyperkern/protocol.h"

namespace HyperkernEmu {

using Hyperkern::Bytes;
namespace Proto = Hyperkern::Proto;

inline constexpr const char *kEndpointName = "resolveKeyOp";
inline constexpr size_t kMaxQueued = 4096;
inline constexpr size_t kMaxKeys = 4096;
// A taken request that no reply has ended after this long is taken to be lost
// (the agent dropped it, or never got the message): it is dropped, so that lost
// requests cannot fill the queue. Longer than any key resolution may take.
inline constexpr std::chrono::minutes kTakenRequestLimit{10};

struct Options {
   bool refuseRegister = false;
   // Answers of successive reply calls; afterwards the emulator's own answer.
   std::vector<HYK_ReturnStatus> replyStatuses;
   // Fails get-message calls that find a message with this status.
   std::optional<HYK_ReturnStatus> getMsgFail;
   // How many get-message calls fail; 0 means all of them.
   uint32_t getMsgFailCount = 0;
};

// A queued request whose waiter is to be answered.
struct Completion {
   uint64_t waiter;
   Proto::QueueMsgAnswer answer;
};

class EmulatorCore {
public:
   using Clock = std::chrono::steady_clock;

   EmulatorCore(Options options, Clock::time_point start);

   // --- the channel ---
   HYK_ReturnStatus Register(const Proto::RegisterRequest &request, uint32_t *aux);
   // The registration ended. Requests it had taken can no longer be answered (a
   // new registration does not know them): their waiters are answered with
   // kStatusChannelClosed (into `done`) and the requests dropped, so that they
   // neither hang their senders nor fill the queue for good. Requests not yet
   // taken stay queued for the next registration. Returns how many were dropped.
   size_t ChannelGone(std::vector<Completion> &done);
   bool Registered() const { return mRegistered; }
   bool HasQueued() const { return !mQueue.empty(); }
   Proto::GetMsgAnswer GetMsg(const Proto::GetMsgRequest &request,
                              Clock::time_point now = Clock::now());
   // Returns the answer to the reply call; requests it ends go to `done`.
   HYK_ReturnStatus Reply(const Proto::SendReplyRequest &request, Clock::time_point now,
                          std::vector<Completion> &done);

   // --- control ---
   // Queues a message; waiter 0 means nobody waits for the end.
   HYK_ReturnStatus Queue(Bytes message, uint64_t waiter, Clock::time_point deadline, int32_t *id);
   // Answers waiters whose time ran out (the requests themselves stay), and drops
   // requests taken longer than kTakenRequestLimit ago (their waiters, if any, are
   // answered kStatusTimedOut).
   void Expire(Clock::time_point now, std::vector<Completion> &done);
   std::optional<Clock::time_point> NextDeadline() const;
   void DropWaiter(uint64_t waiter);
   Proto::ListRepliesAnswer ListReplies() const;
   // The newest reply record; only after at least one reply call.
   const Proto::ReplyRecord &LastReply() const { return mReplies.back(); }

   // --- emulated key cache ---
   HYK_ReturnStatus AddKey(const Proto::KeyAddRequest &request);
   HYK_ReturnStatus SetKeyType(const Proto::KeySetTypeRequest &request);
   HYK_ReturnStatus RemoveKey(const Proto::KeyRemoveRequest &request);
   // As many keys as fit in one frame; `total` counts them all.
   Proto::ListKeysAnswer ListKeys(bool reveal) const;

private:
   struct Request {
      Bytes message;
      bool delivered = false;
      Clock::time_point deliveredAt;
      uint64_t waiter = 0;
      Clock::time_point deadline;
      uint32_t replyCalls = 0;
      HYK_ReturnStatus replyStatus = 0;
      HYK_ReturnStatus lastAnswer = 0;
   };
   struct KeyEntry {
      std::string cipher;
      uint32_t keyType = 0;
      Bytes key;
   };
   using KeyName = std::pair<std::string, Proto::KeyIdDigest>;

   Proto::QueueMsgAnswer Snapshot(int32_t id, const Request &request, HYK_ReturnStatus status,
                                  bool ended) const;
   int32_t NextId();

   const Options mOptions;
   const Clock::time_point mStart;
   bool mRegistered = false;
   size_t mReplyScriptPos = 0;
   uint32_t mGetMsgFailures = 0;
   int32_t mNextId = 1;
   std::deque<int32_t> mQueue;
   std::map<int32_t, Request> mRequests;
   uint64_t mRepliesTotal = 0;
   std::deque<Proto::ReplyRecord> mReplies; // the newest kMaxListedReplies
   std::map<KeyName, KeyEntry> mKeys;
};

} // namespace HyperkernEmu
