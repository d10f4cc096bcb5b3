#include "runtime/hyperkern/memory_kernel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Hyperkern {

InMemoryKernel::InMemoryKernel() = default;

InMemoryKernel::~InMemoryKernel()
{
   if (mEventFd >= 0) {
      ::close(mEventFd);
   }
   for (int fd : mDeadFds) {
      ::close(fd);
   }
}

void InMemoryKernel::Signal(uint64_t count)
{
   if (mEventFd >= 0 && write(mEventFd, &count, sizeof count) != sizeof count) {
      // The counter cannot overflow with test-sized queues; nothing to recover.
   }
}

void InMemoryKernel::Drain()
{
   uint64_t value;
   if (mEventFd >= 0 && read(mEventFd, &value, sizeof value) != sizeof value) {
      // Semaphore mode: one read takes one unit; empty means nothing to take.
   }
}

void InMemoryKernel::SetRegisterStatus(HYK_ReturnStatus status)
{
   std::lock_guard<std::mutex> guard(mLock);
   mRegisterStatus = status;
}

void InMemoryKernel::ScriptReplyStatuses(std::vector<HYK_ReturnStatus> statuses)
{
   std::lock_guard<std::mutex> guard(mLock);
   mReplyScript.assign(statuses.begin(), statuses.end());
}

void InMemoryKernel::ScriptGetMsgFailures(std::vector<GetMsgFailure> failures)
{
   std::lock_guard<std::mutex> guard(mLock);
   mGetMsgScript.assign(failures.begin(), failures.end());
}

int32_t InMemoryKernel::Queue(std::vector<uint8_t> message)
{
   std::lock_guard<std::mutex> guard(mLock);
   int32_t id = mNextId++;
   mQueue.push_back({id, std::move(message)});
   Signal(1);
   return id;
}

void InMemoryKernel::MarkDead()
{
   std::lock_guard<std::mutex> guard(mLock);
   mDead = true;
   Signal(1u << 30);
}

void InMemoryKernel::Revive()
{
   std::lock_guard<std::mutex> guard(mLock);
   mDead = false;
   if (mEventFd >= 0) {
      mDeadFds.push_back(mEventFd);
      mEventFd = -1;
   }
   mRegistered = false;
}

bool InMemoryKernel::IsDeadFd(int32_t fd) const
{
   return std::find(mDeadFds.begin(), mDeadFds.end(), fd) != mDeadFds.end();
}

std::vector<InMemoryKernel::RegisterCall> InMemoryKernel::Registers() const
{
   std::lock_guard<std::mutex> guard(mLock);
   return mRegisters;
}

std::vector<InMemoryKernel::GetMsgCall> InMemoryKernel::GetMsgs() const
{
   std::lock_guard<std::mutex> guard(mLock);
   return mGetMsgs;
}

std::vector<InMemoryKernel::ReplyCall> InMemoryKernel::Replies() const
{
   std::lock_guard<std::mutex> guard(mLock);
   return mReplies;
}

std::vector<int32_t> InMemoryKernel::Closed() const
{
   std::lock_guard<std::mutex> guard(mLock);
   return mClosed;
}

int32_t InMemoryKernel::ChannelFd() const
{
   std::lock_guard<std::mutex> guard(mLock);
   return mEventFd;
}

bool InMemoryKernel::WaitForReplies(size_t count, std::chrono::milliseconds timeout) const
{
   std::unique_lock<std::mutex> guard(mLock);
   return mChanged.wait_for(guard, timeout, [&] { return mReplies.size() >= count; });
}

bool InMemoryKernel::WaitForGetMsgs(size_t count, std::chrono::milliseconds timeout) const
{
   std::unique_lock<std::mutex> guard(mLock);
   return mChanged.wait_for(guard, timeout, [&] { return mGetMsgs.size() >= count; });
}

HYK_ReturnStatus InMemoryKernel::Register(const char *name, uint64_t flags, uint32_t infoSize,
                                          uint32_t bufferSize, int32_t *fdOut, uint32_t *auxOut,
                                          int *error)
{
   std::lock_guard<std::mutex> guard(mLock);
   mRegisters.push_back({name, flags, infoSize, bufferSize});
   mChanged.notify_all();
   if (mDead) {
      *error = ECONNREFUSED;
      return kStatusChannelClosed;
   }
   if (mRegisterStatus != kStatusSuccess) {
      *error = EPERM;
      return mRegisterStatus;
   }
   if (mRegistered) {
      *error = EEXIST;
      return kStatusAlreadyExists;
   }
   mEventFd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
   if (mEventFd < 0) {
      *error = errno;
      return kStatusFailure;
   }
   Signal(mQueue.size());
   mRegistered = true;
   *fdOut = mEventFd;
   *auxOut = 0;
   return kStatusSuccess;
}

HYK_ReturnStatus InMemoryKernel::GetMsg(int32_t fd, RPC_MsgInfoUser *info, uint8_t *buffer,
                                        uint32_t *length, uint64_t arg4, uint64_t arg5, int *error)
{
   std::lock_guard<std::mutex> guard(mLock);
   mGetMsgs.push_back({fd, *info, *length, arg4, arg5});
   mChanged.notify_all();
   if (mDead || IsDeadFd(fd)) {
      *error = EPIPE;
      return kStatusChannelClosed;
   }
   if (!mRegistered || fd != mEventFd) {
      *error = EBADF;
      return kStatusInvalidArgument;
   }
   if (!mGetMsgScript.empty()) {
      GetMsgFailure failure = mGetMsgScript.front();
      mGetMsgScript.pop_front();
      if (failure.fillId) {
         info->id = *failure.fillId;
      }
      *error = EIO;
      return failure.status;
   }
   if (mQueue.empty()) {
      *error = EAGAIN;
      return kStatusNoMessage;
   }
   Message message = std::move(mQueue.front());
   mQueue.pop_front();
   Drain();
   info->id = message.id;
   info->context = 0;
   info->replyInfo = 0x10000u + static_cast<uint32_t>(message.id);
   if (message.bytes.size() > *length) {
      *error = EMSGSIZE;
      return kStatusMessageTooLarge;
   }
   if (!message.bytes.empty()) {
      memcpy(buffer, message.bytes.data(), message.bytes.size());
   }
   *length = static_cast<uint32_t>(message.bytes.size());
   return kStatusSuccess;
}

HYK_ReturnStatus InMemoryKernel::SendReply(int32_t fd, int32_t msgId, const uint8_t *reply,
                                           uint32_t replyLength, int *error)
{
   std::lock_guard<std::mutex> guard(mLock);
   HYK_ReturnStatus carried = 0;
   if (replyLength >= sizeof carried) {
      memcpy(&carried, reply, sizeof carried);
   }
   HYK_ReturnStatus answer = kStatusSuccess;
   if (mDead || IsDeadFd(fd)) {
      answer = kStatusChannelClosed;
   } else if (!mRegistered || fd != mEventFd) {
      answer = kStatusInvalidArgument;
   } else if (!mReplyScript.empty()) {
      answer = mReplyScript.front();
      mReplyScript.pop_front();
   }
   mReplies.push_back({fd, msgId, replyLength, carried, answer, std::chrono::steady_clock::now()});
   mChanged.notify_all();
   *error = answer == kStatusSuccess ? 0 : EIO;
   return answer;
}

int InMemoryKernel::Close(int32_t fd)
{
   std::lock_guard<std::mutex> guard(mLock);
   mClosed.push_back(fd);
   if (auto dead = std::find(mDeadFds.begin(), mDeadFds.end(), fd); dead != mDeadFds.end()) {
      ::close(fd);
      mDeadFds.erase(dead);
      return 0;
   }
   if (!mRegistered || fd != mEventFd) {
      errno = EBADF;
      return -1;
   }
   mRegistered = false;
   ::close(mEventFd);
   mEventFd = -1;
   return 0;
}

} // namespace Hyperkern
