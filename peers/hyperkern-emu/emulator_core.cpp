#include "peers/hyperkern-emu/emulator_core.h"

#include <openssl/evp.h>

#include <cstring>
#include <iterator>

#include "runtime/keylocator/keycache_backend.h"

namespace HyperkernEmu {

using namespace Hyperkern;

EmulatorCore::EmulatorCore(Options options, Clock::time_point start)
    : mOptions(std::move(options)), mStart(start)
{
}

int32_t EmulatorCore::NextId()
{
   int32_t id = mNextId;
   // Ids stay positive; -1 is the "not filled" value of the info record.
   mNextId = mNextId == INT32_MAX ? 1 : mNextId + 1;
   return id;
}

HYK_ReturnStatus EmulatorCore::Register(const Proto::RegisterRequest &request, uint32_t *aux)
{
   *aux = 0;
   if (mOptions.refuseRegister) {
      return kStatusFailure;
   }
   if (request.name != kEndpointName) {
      return kStatusNotFound;
   }
   if (request.infoSize != kMsgInfoSize || request.bufferSize == 0) {
      return kStatusInvalidArgument;
   }
   if (mRegistered) {
      return kStatusAlreadyExists;
   }
   mRegistered = true;
   return kStatusSuccess;
}

size_t EmulatorCore::ChannelGone(std::vector<Completion> &done)
{
   mRegistered = false;
   size_t dropped = 0;
   for (auto it = mRequests.begin(); it != mRequests.end();) {
      if (!it->second.delivered) {
         ++it;
         continue;
      }
      if (it->second.waiter != 0) {
         done.push_back(
             {it->second.waiter, Snapshot(it->first, it->second, kStatusChannelClosed, false)});
      }
      it = mRequests.erase(it);
      ++dropped;
   }
   return dropped;
}

Proto::GetMsgAnswer EmulatorCore::GetMsg(const Proto::GetMsgRequest &request, Clock::time_point now)
{
   Proto::GetMsgAnswer answer;
   answer.info = request.info;
   if (!mRegistered) {
      answer.status = kStatusInvalidArgument;
      return answer;
   }
   if (mQueue.empty()) {
      answer.status = kStatusNoMessage;
      return answer;
   }
   const int32_t id = mQueue.front();
   mQueue.pop_front();
   Request &pending = mRequests.at(id);
   pending.delivered = true;
   pending.deliveredAt = now;
   answer.info.id = id;
   answer.info.context = 0;
   answer.info.replyInfo = 0x10000u + static_cast<uint32_t>(id);

   const bool failing = mOptions.getMsgFail && (mOptions.getMsgFailCount == 0 ||
                                                mGetMsgFailures < mOptions.getMsgFailCount);
   if (failing) {
      ++mGetMsgFailures;
      answer.status = *mOptions.getMsgFail;
   } else if (pending.message.size() > request.capacity) {
      answer.status = kStatusMessageTooLarge;
   } else {
      answer.status = kStatusSuccess;
      answer.message = pending.message;
   }
   pending.message.clear();
   return answer;
}

Proto::QueueMsgAnswer EmulatorCore::Snapshot(int32_t id, const Request &request,
                                             HYK_ReturnStatus status, bool ended) const
{
   Proto::QueueMsgAnswer answer;
   answer.status = status;
   answer.msgId = id;
   answer.replyCalls = request.replyCalls;
   answer.replyStatus = request.replyStatus;
   answer.lastAnswer = request.lastAnswer;
   answer.ended = ended ? 1 : 0;
   return answer;
}

HYK_ReturnStatus EmulatorCore::Reply(const Proto::SendReplyRequest &request, Clock::time_point now,
                                     std::vector<Completion> &done)
{
   HYK_ReturnStatus carried = 0;
   if (request.reply.size() >= sizeof carried) {
      carried = static_cast<uint32_t>(request.reply[0]) |
                (static_cast<uint32_t>(request.reply[1]) << 8) |
                (static_cast<uint32_t>(request.reply[2]) << 16) |
                (static_cast<uint32_t>(request.reply[3]) << 24);
   }
   auto it = mRequests.find(request.msgId);
   const bool known = it != mRequests.end() && it->second.delivered;

   HYK_ReturnStatus answer;
   if (mReplyScriptPos < mOptions.replyStatuses.size()) {
      answer = mOptions.replyStatuses[mReplyScriptPos++];
   } else if (request.reply.size() != kReplySize) {
      answer = kStatusInvalidArgument;
   } else {
      answer = known ? kStatusSuccess : kStatusNotFound;
   }

   Proto::ReplyRecord record;
   record.msgId = request.msgId;
   record.length = static_cast<uint32_t>(request.reply.size());
   record.replyStatus = carried;
   record.answer = answer;
   record.timeMs = static_cast<uint64_t>(
       std::chrono::duration_cast<std::chrono::milliseconds>(now - mStart).count());
   mReplies.push_back(record);
   if (mReplies.size() > Proto::kMaxListedReplies) {
      mReplies.pop_front();
   }
   ++mRepliesTotal;

   if (known) {
      Request &pending = it->second;
      ++pending.replyCalls;
      pending.replyStatus = carried;
      pending.lastAnswer = answer;
      // A busy answer leaves the request open for a retry; anything else ends it.
      if (answer != kStatusBusy) {
         if (pending.waiter != 0) {
            done.push_back({pending.waiter, Snapshot(it->first, pending, kStatusSuccess, true)});
         }
         mRequests.erase(it);
      }
   }
   return answer;
}

HYK_ReturnStatus EmulatorCore::Queue(Bytes message, uint64_t waiter, Clock::time_point deadline,
                                     int32_t *id)
{
   if (message.size() > Proto::kMaxMessage) {
      return kStatusMessageTooLarge;
   }
   if (mRequests.size() >= kMaxQueued) {
      return kStatusBusy;
   }
   *id = NextId();
   Request &request = mRequests[*id];
   request.message = std::move(message);
   request.waiter = waiter;
   request.deadline = deadline;
   mQueue.push_back(*id);
   return kStatusSuccess;
}

void EmulatorCore::Expire(Clock::time_point now, std::vector<Completion> &done)
{
   for (auto it = mRequests.begin(); it != mRequests.end();) {
      Request &request = it->second;
      const bool lost = request.delivered && request.deliveredAt + kTakenRequestLimit <= now;
      if (request.waiter != 0 && (request.deadline <= now || lost)) {
         done.push_back({request.waiter, Snapshot(it->first, request, kStatusTimedOut, false)});
         request.waiter = 0;
      }
      it = lost ? mRequests.erase(it) : std::next(it);
   }
}

std::optional<EmulatorCore::Clock::time_point> EmulatorCore::NextDeadline() const
{
   std::optional<Clock::time_point> next;
   const auto earlier = [&next](Clock::time_point t) {
      if (!next || t < *next) {
         next = t;
      }
   };
   for (const auto &[id, request] : mRequests) {
      if (request.waiter != 0) {
         earlier(request.deadline);
      }
      if (request.delivered) {
         earlier(request.deliveredAt + kTakenRequestLimit);
      }
   }
   return next;
}

void EmulatorCore::DropWaiter(uint64_t waiter)
{
   for (auto &[id, request] : mRequests) {
      if (request.waiter == waiter) {
         request.waiter = 0;
      }
   }
}

Proto::ListRepliesAnswer EmulatorCore::ListReplies() const
{
   Proto::ListRepliesAnswer answer;
   answer.total = mRepliesTotal;
   answer.replies.assign(mReplies.begin(), mReplies.end());
   return answer;
}

HYK_ReturnStatus EmulatorCore::AddKey(const Proto::KeyAddRequest &request)
{
   if (request.provider.empty() || KeyLoc::CipherKeyLength(request.cipher) != request.key.size()) {
      return kStatusInvalidArgument;
   }
   KeyName name{request.provider, request.digest};
   if (mKeys.count(name) != 0) {
      return kStatusAlreadyExists;
   }
   if (mKeys.size() >= kMaxKeys) {
      return kStatusBusy;
   }
   mKeys[name] = KeyEntry{request.cipher, 0, request.key};
   return kStatusSuccess;
}

HYK_ReturnStatus EmulatorCore::SetKeyType(const Proto::KeySetTypeRequest &request)
{
   auto it = mKeys.find({request.provider, request.digest});
   if (it == mKeys.end()) {
      return kStatusNotFound;
   }
   it->second.keyType = request.keyType;
   return kStatusSuccess;
}

HYK_ReturnStatus EmulatorCore::RemoveKey(const Proto::KeyRemoveRequest &request)
{
   return mKeys.erase({request.provider, request.digest}) != 0 ? kStatusSuccess : kStatusNotFound;
}

Proto::ListKeysAnswer EmulatorCore::ListKeys(bool reveal) const
{
   Proto::ListKeysAnswer answer;
   answer.total = static_cast<uint32_t>(mKeys.size());
   size_t budget = Proto::kMaxFrame - 64;
   for (const auto &[name, entry] : mKeys) {
      Proto::KeyRecord record;
      record.provider = name.first;
      record.digest = name.second;
      record.cipher = entry.cipher;
      record.keyType = entry.keyType;
      record.keyLength = static_cast<uint32_t>(entry.key.size());
      unsigned int size = 0;
      EVP_Digest(entry.key.data(), entry.key.size(), record.fingerprint.data(), &size, EVP_sha256(),
                 nullptr);
      if (reveal) {
         record.key = entry.key;
      }
      size_t cost = 80 + record.provider.size() + record.cipher.size() + record.key.size();
      if (cost > budget) {
         break;
      }
      budget -= cost;
      answer.keys.push_back(std::move(record));
   }
   return answer;
}

} // namespace HyperkernEmu
