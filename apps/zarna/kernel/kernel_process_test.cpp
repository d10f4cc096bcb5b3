// The agent's channel against the real kernel emulator process, reached
// through the "hyperkern/channel" setting.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "apps/zarna/kernel/rpc_channel.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/hyperkern/kernel_calls.h"
#include "runtime/hyperkern/testing/emulator_process.h"
#include "runtime/tirel/app.h"

namespace {

using namespace std::chrono_literals;
using HyperkernTesting::CommandResult;
using HyperkernTesting::EmulatorProcess;
using nlohmann::json;

template <typename Pred> bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10s)
{
   auto end = std::chrono::steady_clock::now() + limit;
   while (!pred()) {
      if (std::chrono::steady_clock::now() > end) {
         return false;
      }
      std::this_thread::sleep_for(10ms);
   }
   return true;
}

class KernelChannelWithEmulator : public ::testing::Test {
protected:
   void Start(std::vector<std::string> emulatorArgs = {})
   {
      mEmu =
          std::make_unique<EmulatorProcess>(HYPERKERN_EMU_PATH, mDir.File("hk.sock"), emulatorArgs);
      ASSERT_TRUE(mEmu->WaitReady());
      auto config = Tirel::Service::CreateScratchConfig();
      config->GetSettings().SetString("hyperkern/channel", mEmu->Socket());
      Hyperkern::SetKernelCalls(nullptr); // chosen from the setting
      Tirel::Service::StartApp(config, nullptr);
   }
   void TearDown() override
   {
      Zarna::UnregisterRpc();
      if (auto app = Tirel::Service::GetApp()) {
         app->GetThreadPool()->WaitForIdle(5s);
      }
      Hyperkern::SetKernelCalls(nullptr);
   }
   json Replies() const
   {
      CommandResult r = mEmu->Command({"replies", "--json"});
      EXPECT_EQ(r.exitCode, 0);
      return json::parse(r.out, nullptr, false);
   }

   HostlibTesting::LogCapture mLog;
   HyperkernTesting::TempDir mDir;
   std::unique_ptr<EmulatorProcess> mEmu;
};

TEST_F(KernelChannelWithEmulator, RequestFillingTheWholeBufferIsAnsweredWithTheResolveFailure)
{
   Start();
   ASSERT_TRUE(Zarna::RegisterRpc());
   // No terminator: the text ends where the buffer does.
   const std::string file = mDir.File("full.bin");
   std::ofstream(file, std::ios::binary) << std::string(8192, 'k');
   CommandResult full = mEmu->Command({"send", "--raw-file", file, "--json"});
   ASSERT_EQ(full.exitCode, 0);
   EXPECT_EQ(json::parse(full.out)["status"], "0xBAD0003");
   // The line is cut, and says how much of the text it leaves out: all 8192 bytes
   // were read, nothing beyond.
   const std::string head = "Request to resolve ";
   const size_t shown = kLogMaxMessageBytes - head.size();
   EXPECT_TRUE(WaitFor([&] {
      return mLog.Has(130, head + std::string(shown, 'k') + "...[cut " +
                               std::to_string(8192 - shown) + " bytes]");
   }));
}

TEST_F(KernelChannelWithEmulator, BusyKernelGetsFiveRepliesHalfASecondApart)
{
   Start({"--reply-status", "0xBAD0006,0xBAD0006,0xBAD0006,0xBAD0006,0"});
   ASSERT_TRUE(Zarna::RegisterRpc());
   CommandResult sent = mEmu->Command({"send", "--locator", "x", "--json"});
   ASSERT_EQ(sent.exitCode, 0) << sent.out;
   EXPECT_EQ(json::parse(sent.out)["replyCalls"], 5);
   json replies = Replies();
   ASSERT_EQ(replies["replies"].size(), 5u);
   for (size_t i = 1; i < 5; ++i) {
      const auto gap = replies["replies"][i]["timeMs"].get<int64_t>() -
                       replies["replies"][i - 1]["timeMs"].get<int64_t>();
      EXPECT_GE(gap, 450) << "reply " << i;
      EXPECT_LE(gap, 1500) << "reply " << i;
   }
   EXPECT_TRUE(WaitFor([&] { return mLog.Count("Sent reply to kernel") == 1; }));
   // Answers to the replies never wake the receive.
   EXPECT_FALSE(mLog.Contains("RpcGetMsg: error"));
}

TEST_F(KernelChannelWithEmulator, GetMessageFailureIsEchoedToTheKernel)
{
   Start({"--getmsg-fail", "0xBAD00AA", "--getmsg-fail-count", "1"});
   ASSERT_TRUE(Zarna::RegisterRpc());
   CommandResult failed = mEmu->Command({"send", "--locator", "x", "--json"});
   ASSERT_EQ(failed.exitCode, 0);
   EXPECT_EQ(json::parse(failed.out)["status"], "0xBAD00AA");
   EXPECT_TRUE(mLog.Has(110, "RpcGetMsg: error: status 0xBAD00AA"));
   // The receive was re-armed: the next request is served normally.
   CommandResult next = mEmu->Command({"send", "--locator", "y", "--json"});
   ASSERT_EQ(next.exitCode, 0);
   EXPECT_EQ(json::parse(next.out)["status"], "0xBAD0003");
}

} // namespace
