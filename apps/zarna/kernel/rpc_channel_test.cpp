// The channel against an in-process kernel whose answers are scripted, with a
// manual clock so that reply retries can be stepped through.
#include "apps/zarna/kernel/rpc_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <thread>

#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/hyperkern/memory_kernel.h"
#include "runtime/tirel/app.h"

namespace {

using namespace std::chrono_literals;
using Hyperkern::InMemoryKernel;
using Zarna::kReplyBusyStatus;

constexpr uint32_t kFailure = 0xBAD0003;

std::vector<uint8_t> Locator(const std::string &text)
{
   std::vector<uint8_t> bytes(text.begin(), text.end());
   bytes.push_back(0);
   return bytes;
}

class RpcChannel : public ::testing::Test {
protected:
   void SetUp() override
   {
      mKernel = std::make_shared<InMemoryKernel>();
      Hyperkern::SetKernelCalls(mKernel);
      mClock = std::make_shared<Tirel::System::ManualClock>();
      Tirel::Service::StartApp(Tirel::Service::CreateScratchConfig(), mClock);
   }
   void TearDown() override
   {
      Zarna::UnregisterRpc();
      Pool()->WaitForIdle(5s);
      Hyperkern::SetKernelCalls(nullptr);
   }
   static std::shared_ptr<Tirel::System::ThreadPool> Pool()
   {
      return Tirel::Service::GetApp()->GetThreadPool();
   }
   // Lets due work run, then checks that no further reply call follows.
   void Settle() { ASSERT_TRUE(Pool()->WaitForIdle(5s)); }

   HostlibTesting::LogCapture mLog;
   std::shared_ptr<InMemoryKernel> mKernel;
   std::shared_ptr<Tirel::System::ManualClock> mClock;
};

TEST_F(RpcChannel, RegistersTheEndpointAndAnswersARequestWithTheResolveFailure)
{
   ASSERT_TRUE(Zarna::RegisterRpc());
   ASSERT_EQ(mKernel->Registers().size(), 1u);
   const auto reg = mKernel->Registers()[0];
   EXPECT_EQ(reg.name, "resolveKeyOp");
   EXPECT_EQ(reg.flags, 0u);
   EXPECT_EQ(reg.infoSize, 12u);
   EXPECT_EQ(reg.bufferSize, 8192u);
   EXPECT_TRUE(mLog.Has(130, "Registered with Hyperkern RPC"));
   EXPECT_TRUE(mLog.Has(130, "Scheduling RPC receive"));

   const int32_t id = mKernel->Queue(Locator("kl:provider/key"));
   ASSERT_TRUE(mKernel->WaitForReplies(1, 5s));
   Settle();
   const auto get = mKernel->GetMsgs()[0];
   EXPECT_EQ(get.info.id, -1);
   EXPECT_EQ(get.info.context, 0u);
   EXPECT_EQ(get.info.replyInfo, 0u);
   EXPECT_EQ(get.length, 8192u);
   EXPECT_EQ(get.arg4, 0u);
   EXPECT_EQ(get.arg5, 1u);
   const auto reply = mKernel->Replies()[0];
   EXPECT_EQ(reply.msgId, id);
   EXPECT_EQ(reply.length, 4u);
   EXPECT_EQ(reply.status, kFailure);
   EXPECT_TRUE(mLog.Has(130, "Scheduling resolve work"));
   EXPECT_TRUE(mLog.Has(130, "Request to resolve kl:provider/key"));
   EXPECT_TRUE(mLog.Has(130, "Sent reply to kernel"));
   // Re-armed after the message: the next one is served too.
   mKernel->Queue(Locator("second"));
   ASSERT_TRUE(mKernel->WaitForReplies(2, 5s));
}

TEST_F(RpcChannel, RefusedRegistrationArmsNothing)
{
   mKernel->SetRegisterStatus(0xBAD0001);
   EXPECT_FALSE(Zarna::RegisterRpc());
   EXPECT_TRUE(mLog.Has(110, "Unable to register with Hyperkern RPC"));
   EXPECT_FALSE(mLog.Contains("Scheduling RPC receive"));
   Zarna::UnregisterRpc(); // nothing to close
   EXPECT_TRUE(mKernel->Closed().empty());
}

TEST_F(RpcChannel, GetMessageFailureIsEchoedOnceAndTheReceiveGoesOn)
{
   ASSERT_TRUE(Zarna::RegisterRpc());
   mKernel->ScriptGetMsgFailures({{0xBAD00AA, std::nullopt}, {0xBAD00BB, 17}});
   // The echo of the second failure is itself refused; it is not retried.
   mKernel->ScriptReplyStatuses({0, kReplyBusyStatus});
   const int32_t id = mKernel->Queue(Locator("x"));
   ASSERT_TRUE(mKernel->WaitForReplies(3, 5s));
   Settle();
   const auto replies = mKernel->Replies();
   ASSERT_EQ(replies.size(), 3u);
   EXPECT_EQ(replies[0].msgId, -1); // the kernel left the id unfilled
   EXPECT_EQ(replies[0].status, 0xBAD00AAu);
   EXPECT_EQ(replies[1].msgId, 17);
   EXPECT_EQ(replies[1].status, 0xBAD00BBu);
   EXPECT_EQ(replies[2].msgId, id); // then the message itself
   EXPECT_EQ(replies[2].status, kFailure);
   EXPECT_TRUE(mLog.Has(110, "RpcGetMsg: error: status 0xBAD00AA"));
   EXPECT_TRUE(mLog.Has(110, "Sending reply " + std::to_string(static_cast<int>(0xBAD00BB)) +
                                 " failed: Busy, try again"));
   mClock->Advance(1000000);
   Settle();
   EXPECT_EQ(mKernel->Replies().size(), 3u);
}

// A reply the kernel takes after busy answers is covered with the real emulator.
TEST_F(RpcChannel, BusyRepliesAreRetriedHalfASecondApartFiveTimesAtMost)
{
   ASSERT_TRUE(Zarna::RegisterRpc());
   mKernel->ScriptReplyStatuses(std::vector<uint32_t>(6, kReplyBusyStatus));
   mKernel->Queue(Locator("x"));
   ASSERT_TRUE(mKernel->WaitForReplies(1, 5s));
   for (size_t made = 1; made < 5; ++made) {
      Settle();
      mClock->Advance(499999);
      Settle();
      EXPECT_EQ(mKernel->Replies().size(), made) << "retried too early";
      mClock->Advance(1);
      ASSERT_TRUE(mKernel->WaitForReplies(made + 1, 5s));
   }
   mClock->Advance(10000000);
   Settle();
   const auto replies = mKernel->Replies();
   ASSERT_EQ(replies.size(), 5u);
   for (const auto &r : replies) {
      EXPECT_EQ(r.msgId, replies[0].msgId);
      EXPECT_EQ(r.status, kFailure);
   }
   EXPECT_EQ(mLog.Count("Failed to send reply, rescheduling the reply"), 4u);
   const std::string sent = std::to_string(static_cast<int>(kFailure));
   EXPECT_TRUE(
       mLog.Has(110, "Sending reply " + sent + " failed, retries left: 0, error: Busy, try again"));

   // Any other refusal ends the reply at once.
   mKernel->ScriptReplyStatuses({0xBAD0001});
   mKernel->Queue(Locator("y"));
   ASSERT_TRUE(mKernel->WaitForReplies(6, 5s));
   Settle();
   mClock->Advance(5000000);
   Settle();
   EXPECT_EQ(mKernel->Replies().size(), 6u);
   EXPECT_TRUE(mLog.Has(110, "Sending reply " + sent + " failed, retries left: 4, error: Failure"));
}

TEST_F(RpcChannel, NothingTouchesTheChannelAfterUnregistration)
{
   ASSERT_TRUE(Zarna::RegisterRpc());
   const int32_t fd = mKernel->ChannelFd();
   mKernel->ScriptReplyStatuses({kReplyBusyStatus});
   mKernel->Queue(Locator("x"));
   ASSERT_TRUE(mKernel->WaitForReplies(1, 5s));
   Settle();

   Zarna::UnregisterRpc();
   EXPECT_EQ(mKernel->Closed(), std::vector<int32_t>{fd});
   // The retry that falls due now is dropped instead of using the closed descriptor.
   mClock->Advance(500000);
   Settle();
   EXPECT_EQ(mKernel->Replies().size(), 1u);
   EXPECT_TRUE(mLog.Has(115, "Dropping reply " + std::to_string(static_cast<int>(kFailure)) +
                                 " to message 1: rpc is unregistered"));
   // A readable callback that was already on its way finds the channel gone.
   const size_t gets = mKernel->GetMsgs().size();
   mLog.Clear();
   Zarna::RpcReadMsg();
   EXPECT_TRUE(mLog.Has(110, "Rpc read message request after rpc is unregistered"));
   EXPECT_FALSE(mLog.Contains("Scheduling RPC receive"));
   EXPECT_EQ(mKernel->GetMsgs().size(), gets);
   Zarna::UnregisterRpc(); // a second time is harmless
   EXPECT_EQ(mKernel->Closed().size(), 1u);
}

TEST_F(RpcChannel, LostKernelIsRegisteredAgainWithCappedBackoffWithoutSpinning)
{
   ASSERT_TRUE(Zarna::RegisterRpc());
   const int32_t lostFd = mKernel->ChannelFd();
   mKernel->MarkDead();
   ASSERT_TRUE(mKernel->WaitForGetMsgs(1, 5s));
   std::this_thread::sleep_for(300ms);
   Settle();
   EXPECT_EQ(mKernel->GetMsgs().size(), 1u); // the dead, readable descriptor is not re-armed
   EXPECT_TRUE(mLog.Has(110, "RpcGetMsg: error: Channel closed"));
   EXPECT_TRUE(mLog.Has(110, "Hyperkern RPC channel is closed; re-registering in 1 s"));
   EXPECT_TRUE(mKernel->Replies().empty());

   // Tries at 1, 2, 4, ... s after the previous one, never more than 60 s apart,
   // while the kernel stays away.
   const uint64_t delays[] = {1, 2, 4, 8, 16, 32, 60, 60};
   for (size_t i = 0; i < std::size(delays); ++i) {
      const uint64_t us = delays[i] * 1000000;
      mClock->Advance(us - 1);
      Settle();
      ASSERT_EQ(mKernel->Registers().size(), i + 1) << "tried before " << delays[i] << " s";
      mClock->Advance(1);
      Settle();
      ASSERT_EQ(mKernel->Registers().size(), i + 2);
      const uint64_t next = i + 1 < std::size(delays) ? delays[i + 1] : 60;
      EXPECT_TRUE(mLog.Has(110, "Unable to re-register with Hyperkern RPC (try " +
                                    std::to_string(i + 1) + "): Channel closed; next try in " +
                                    std::to_string(next) + " s"));
   }
   EXPECT_EQ(mKernel->Closed(), std::vector<int32_t>{lostFd});

   // The kernel is back: the next try registers, and requests are answered again.
   mKernel->Revive();
   mClock->Advance(60000000);
   Settle();
   EXPECT_TRUE(mLog.Has(125, "Re-registered with Hyperkern RPC (try 9)"));
   const int32_t id = mKernel->Queue(Locator("after restart"));
   ASSERT_TRUE(mKernel->WaitForReplies(1, 5s));
   EXPECT_EQ(mKernel->Replies()[0].msgId, id);
   EXPECT_EQ(mKernel->Replies()[0].status, kFailure);

   // A second loss starts again at 1 s; unregistering calls the pending try off.
   mKernel->MarkDead();
   ASSERT_TRUE(mKernel->WaitForGetMsgs(3, 5s));
   Settle();
   const size_t registers = mKernel->Registers().size();
   mLog.Clear();
   Zarna::UnregisterRpc();
   mClock->Advance(120000000);
   Settle();
   EXPECT_EQ(mKernel->Registers().size(), registers);
   EXPECT_FALSE(mLog.Contains("re-register"));
}

} // namespace
