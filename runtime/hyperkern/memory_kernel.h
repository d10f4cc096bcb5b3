// An in-process kernel for tests: queues messages, answers calls with scripted
// statuses and records every call. Its channel descriptor is an eventfd that
// is readable exactly while a message is queued (and for good once the kernel
// is marked dead, as a broken emulator socket would be).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "runtime/hyperkern/kernel_calls.h"

namespace Hyperkern {

class InMemoryKernel final : public KernelCallHandler {
public:
   struct RegisterCall {
      std::string name;
      uint64_t flags;
      uint32_t infoSize;
      uint32_t bufferSize;
   };
   struct GetMsgCall {
      int32_t fd;
      RPC_MsgInfoUser info; // as the caller preset it
      uint32_t length;      // capacity passed in
      uint64_t arg4;
      uint64_t arg5;
   };
   struct ReplyCall {
      int32_t fd;
      int32_t msgId;
      uint32_t length;
      HYK_ReturnStatus status; // the reply carried (0 when shorter than 4 bytes)
      HYK_ReturnStatus answer;
      std::chrono::steady_clock::time_point when;
   };
   // A scripted get-message failure; fillId leaves that id in the record.
   struct GetMsgFailure {
      HYK_ReturnStatus status;
      std::optional<int32_t> fillId;
   };

   InMemoryKernel();
   ~InMemoryKernel() override;

   // --- script ---
   void SetRegisterStatus(HYK_ReturnStatus status);
   // Answers for successive reply calls; 0 once used up.
   void ScriptReplyStatuses(std::vector<HYK_ReturnStatus> statuses);
   // Fails the next get-message calls in order; the queued message stays queued.
   void ScriptGetMsgFailures(std::vector<GetMsgFailure> failures);
   // Queues a message; returns its id (1, 2, ...). The third info field is
   // 0x10000 + id so that tests can see it carried along.
   int32_t Queue(std::vector<uint8_t> message);
   // From now on every call fails with kStatusChannelClosed and the descriptor
   // stays readable, as when the kernel side goes away; so does a registration.
   void MarkDead();
   // The kernel side is back, as a restarted emulator would be: registration works
   // again and yields a new descriptor; the old one stays dead until it is closed.
   void Revive();

   // --- records ---
   std::vector<RegisterCall> Registers() const;
   std::vector<GetMsgCall> GetMsgs() const;
   std::vector<ReplyCall> Replies() const;
   std::vector<int32_t> Closed() const;
   int32_t ChannelFd() const;
   // Waits until at least `count` reply calls were made; false on timeout.
   bool WaitForReplies(size_t count, std::chrono::milliseconds timeout) const;
   bool WaitForGetMsgs(size_t count, std::chrono::milliseconds timeout) const;

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
   struct Message {
      int32_t id;
      std::vector<uint8_t> bytes;
   };
   void Signal(uint64_t count);
   bool IsDeadFd(int32_t fd) const; // mLock held
   void Drain();

   mutable std::mutex mLock;
   mutable std::condition_variable mChanged;
   int mEventFd = -1;                                 // guarded by mLock
   bool mRegistered = false;                          // guarded by mLock
   bool mDead = false;                                // guarded by mLock
   HYK_ReturnStatus mRegisterStatus = kStatusSuccess; // guarded by mLock
   std::deque<HYK_ReturnStatus> mReplyScript;         // guarded by mLock
   std::deque<GetMsgFailure> mGetMsgScript;           // guarded by mLock
   std::deque<Message> mQueue;                        // guarded by mLock
   int32_t mNextId = 1;                               // guarded by mLock
   std::vector<RegisterCall> mRegisters;              // guarded by mLock
   std::vector<GetMsgCall> mGetMsgs;                  // guarded by mLock
   std::vector<ReplyCall> mReplies;                   // guarded by mLock
   std::vector<int32_t> mClosed;                      // guarded by mLock
   std::vector<int> mDeadFds; // guarded by mLock; descriptors of before Revive
};

} // namespace Hyperkern
