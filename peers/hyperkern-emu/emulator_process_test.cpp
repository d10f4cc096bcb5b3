// The emulator program end to end: a channel client on one side, the control
// commands on the other.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include <nlohmann/json.hpp>

#include "runtime/hyperkern/emulator_client.h"
#include "runtime/hyperkern/emulator_kernel.h"
#include "runtime/hyperkern/testing/emulator_process.h"

namespace {

using namespace Hyperkern;
using HyperkernTesting::CommandResult;
using HyperkernTesting::EmulatorProcess;
using HyperkernTesting::TempDir;

class Channel {
public:
   explicit Channel(const std::string &socket) : mCalls(socket) {}
   HYK_ReturnStatus Register()
   {
      uint32_t aux = 0;
      int error = 0;
      const char *name = "resolveKeyOp";
      return mCalls.Invoke(kRpcRegisterCall, {Ptr(name), 0, 12, 8192, Ptr(&mFd), Ptr(&aux)},
                           &error);
   }
   HYK_ReturnStatus GetMsg(RPC_MsgInfoUser &info, std::string &message)
   {
      uint8_t buffer[8192] = {};
      uint32_t length = sizeof buffer;
      info = {-1, 0, 0};
      int error = 0;
      HYK_ReturnStatus status = mCalls.Invoke(
          kRpcGetMsgCall, {static_cast<uint64_t>(mFd), Ptr(&info), Ptr(buffer), Ptr(&length), 0, 1},
          &error);
      message.assign(reinterpret_cast<char *>(buffer), status == 0 ? length : 0);
      return status;
   }
   HYK_ReturnStatus Reply(int32_t id, HYK_ReturnStatus status)
   {
      int error = 0;
      return mCalls.Invoke(kRpcSendReplyCall,
                           {static_cast<uint64_t>(mFd),
                            static_cast<uint64_t>(static_cast<int64_t>(id)), Ptr(&status), 4, 0, 0},
                           &error);
   }
   bool Readable(int timeoutMs = 0) const
   {
      pollfd p{mFd, POLLIN, 0};
      return poll(&p, 1, timeoutMs) == 1;
   }
   ~Channel()
   {
      if (mFd >= 0) {
         mCalls.Close(mFd);
      }
   }

private:
   static uint64_t Ptr(const void *p) { return reinterpret_cast<uintptr_t>(p); }
   EmulatorKernelCalls mCalls;
   int32_t mFd = -1;
};

class EmulatorProgram : public ::testing::Test {
protected:
   void Start(std::vector<std::string> args = {})
   {
      mEmu = std::make_unique<EmulatorProcess>(HYPERKERN_EMU_PATH, mDir.File("hk.sock"), args);
      ASSERT_TRUE(mEmu->WaitReady());
   }
   std::future<CommandResult> SendAsync(std::vector<std::string> args)
   {
      return std::async(std::launch::async, [this, args] { return mEmu->Command(args); });
   }

   TempDir mDir;
   std::unique_ptr<EmulatorProcess> mEmu;
};

TEST_F(EmulatorProgram, ChannelIsReadableExactlyWhileMessagesAreQueued)
{
   Start();
   Channel channel(mEmu->Socket());
   ASSERT_EQ(channel.Register(), 0u);
   EXPECT_FALSE(channel.Readable());

   auto first = SendAsync({"send", "--locator", "loc-1", "--timeout", "10", "--json"});
   ASSERT_TRUE(channel.Readable(5000));
   auto second = SendAsync({"send", "--locator", "loc-2", "--timeout", "10"});

   RPC_MsgInfoUser info;
   std::string message;
   ASSERT_EQ(channel.GetMsg(info, message), 0u);
   EXPECT_EQ(message, std::string("loc-1", 6)); // NUL-terminated
   const int32_t firstId = info.id;
   EXPECT_EQ(info.replyInfo, 0x10000u + static_cast<uint32_t>(firstId));

   ASSERT_TRUE(channel.Readable(5000)); // the second one is (or will be) queued
   ASSERT_EQ(channel.GetMsg(info, message), 0u);
   EXPECT_EQ(message, std::string("loc-2", 6));
   EXPECT_FALSE(channel.Readable(200));

   EXPECT_EQ(channel.Reply(firstId, 0xBAD0003), 0u);
   EXPECT_EQ(channel.Reply(info.id, 0), 0u);
   CommandResult r1 = first.get();
   EXPECT_EQ(r1.exitCode, 0);
   auto json = nlohmann::json::parse(r1.out);
   EXPECT_EQ(json["messageId"], firstId);
   EXPECT_EQ(json["status"], "0xBAD0003");
   EXPECT_EQ(json["replyCalls"], 1);
   CommandResult r2 = second.get();
   EXPECT_EQ(r2.exitCode, 0);
   EXPECT_NE(r2.out.find("status: 0x0\n"), std::string::npos) << r2.out;

   CommandResult replies = mEmu->Command({"replies", "--json"});
   ASSERT_EQ(replies.exitCode, 0);
   auto list = nlohmann::json::parse(replies.out);
   EXPECT_EQ(list["total"], 2);
   EXPECT_EQ(list["replies"][0]["messageId"], firstId);
   EXPECT_EQ(list["replies"][0]["status"], "0xBAD0003");
   EXPECT_EQ(list["replies"][0]["answer"], "0x0");
}

TEST_F(EmulatorProgram, ScriptedReplyStatusesAndTimeouts)
{
   Start({"--reply-status", "0xBAD0006,0xBAD0006,0xBAD0001"});
   Channel channel(mEmu->Socket());
   ASSERT_EQ(channel.Register(), 0u);
   auto pending = SendAsync({"send", "--locator", "x", "--json"});
   ASSERT_TRUE(channel.Readable(5000));
   RPC_MsgInfoUser info;
   std::string message;
   ASSERT_EQ(channel.GetMsg(info, message), 0u);
   EXPECT_EQ(channel.Reply(info.id, 0), kStatusBusy);
   EXPECT_EQ(channel.Reply(info.id, 0), kStatusBusy);
   EXPECT_EQ(channel.Reply(info.id, 0), kStatusFailure); // refused for good: ends it
   CommandResult result = pending.get();
   EXPECT_EQ(result.exitCode, 0);
   auto json = nlohmann::json::parse(result.out);
   EXPECT_EQ(json["replyCalls"], 3);
   EXPECT_EQ(json["lastAnswer"], "0xBAD0001");

   // Nobody takes this one: the command gives up and says so.
   CommandResult timedOut = mEmu->Command({"send", "--locator", "y", "--timeout", "0.3"});
   EXPECT_EQ(timedOut.exitCode, 1);
   EXPECT_NE(timedOut.out.find("status: none\n"), std::string::npos) << timedOut.out;
   EXPECT_NE(timedOut.out.find("ended: no\n"), std::string::npos);
}

// A message larger than the receive buffer is refused, and the id still comes
// back so the refusal can be echoed. (A message filling the buffer exactly is
// checked with the agent receiving it.)
TEST_F(EmulatorProgram, OversizedRawMessage)
{
   Start();
   Channel channel(mEmu->Socket());
   ASSERT_EQ(channel.Register(), 0u);
   const std::string big = mDir.File("big.bin");
   std::ofstream(big, std::ios::binary) << std::string(9000, 'B');
   auto bigSend = SendAsync({"send", "--raw-file", big, "--json"});
   ASSERT_TRUE(channel.Readable(5000));
   RPC_MsgInfoUser info;
   std::string message;
   EXPECT_EQ(channel.GetMsg(info, message), kStatusMessageTooLarge);
   channel.Reply(info.id, kStatusMessageTooLarge);
   EXPECT_EQ(nlohmann::json::parse(bigSend.get().out)["status"], "0xBAD0008");
}

// Adding, typing and removing keys are checked through the key cache client
// (runtime/keylocator); key bytes are shown only when asked for.
TEST_F(EmulatorProgram, KeyBytesAreShownOnlyWhenRevealed)
{
   Start();
   std::string error;
   auto client = EmulatorClient::Connect(mEmu->Socket(), "keycache", &error);
   ASSERT_TRUE(client) << error;
   Proto::KeyAddRequest add;
   add.provider = "provider-1";
   add.digest = DigestKeyId("key-7");
   add.cipher = "AES-128";
   add.key = Bytes(16, 0x5A);
   ASSERT_EQ(client->AddKey(add, &error), kStatusSuccess);
   CommandResult keys = mEmu->Command({"keys", "--json"});
   ASSERT_EQ(keys.exitCode, 0);
   EXPECT_FALSE(nlohmann::json::parse(keys.out)["keys"][0].contains("key"));
   CommandResult revealed = mEmu->Command({"keys", "--json", "--reveal"});
   EXPECT_EQ(nlohmann::json::parse(revealed.out)["keys"][0]["key"],
             "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a");
}

TEST_F(EmulatorProgram, LifecycleAndUsage)
{
   Start();
   // A second emulator must not steal a live socket.
   EmulatorProcess second(HYPERKERN_EMU_PATH, mEmu->Socket());
   EXPECT_EQ(second.Stop(0), 1);
   Channel channel(mEmu->Socket());
   ASSERT_EQ(channel.Register(), 0u);
   Channel another(mEmu->Socket());
   EXPECT_EQ(another.Register(), kStatusAlreadyExists);

   EXPECT_EQ(mEmu->Stop(), 0);
   struct stat st;
   EXPECT_NE(stat(mEmu->Socket().c_str(), &st), 0);
   EXPECT_TRUE(channel.Readable(2000)); // the channel sees the kernel go away

   EXPECT_EQ(HyperkernTesting::Run({HYPERKERN_EMU_PATH, "send", "--socket", "x"}).exitCode, 2);
   EXPECT_EQ(HyperkernTesting::Run(
                 {HYPERKERN_EMU_PATH, "serve", "--socket", "x", "--reply-status", "0xZZ"})
                 .exitCode,
             2);
   CommandResult help = HyperkernTesting::Run({HYPERKERN_EMU_PATH, "--help"});
   EXPECT_EQ(help.exitCode, 0);
   EXPECT_NE(help.out.find("serve"), std::string::npos);
   EXPECT_EQ(
       HyperkernTesting::Run({HYPERKERN_EMU_PATH, "replies", "--socket", mDir.File("none.sock")})
           .exitCode,
       1);
}

} // namespace
