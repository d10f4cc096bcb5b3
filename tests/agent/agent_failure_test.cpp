// The agent's start-up failures, each with its exit code and what it leaves behind.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/agent/agent_harness.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;

int ListenOn(int family, int port)
{
   int fd = socket(family, SOCK_STREAM, 0);
   int one = 1;
   if (family == AF_INET6) {
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
         close(fd);
         return -1;
      }
   } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(port));
      if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
         close(fd);
         return -1;
      }
   }
   listen(fd, 1);
   return fd;
}

TEST(AgentFailure, RefusedRegistrationExitsOneBeforeTheStateExists)
{
   AgentHarness h;
   ASSERT_TRUE(h.StartEmulator({"--refuse-register"}));
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   std::string log = h.Agent().StderrText();
   EXPECT_NE(log.find("Failed to register RPC. Exiting."), std::string::npos) << log;
   EXPECT_EQ(log.find("Populate("), std::string::npos) << "trust state must not be built";
   EXPECT_FALSE(std::filesystem::exists(h.SocketPath()));
}

TEST(AgentFailure, MissingKernelChannelExitsOne)
{
   AgentHarness h; // no emulator
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   EXPECT_NE(h.Agent().StderrText().find("Failed to register RPC. Exiting."), std::string::npos);
}

TEST(AgentFailure, PortTakenOnBothLoopbackAddressesExitsOneWithoutSocketFile)
{
   AgentHarness h;
   int v4 = ListenOn(AF_INET, h.Port());
   int v6 = ListenOn(AF_INET6, h.Port());
   ASSERT_GE(v4, 0);
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value()) << h.Agent().StderrText();
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   std::string log = h.Agent().StderrText();
   EXPECT_NE(log.find("An endpoint failed to start. Exiting."), std::string::npos) << log;
   EXPECT_FALSE(std::filesystem::exists(h.SocketPath()));
   // The emulator saw the channel go away: unregistration happened.
   EXPECT_TRUE(h.Emulator()->WaitForOutput("channel closed; endpoint resolveKeyOp unregistered", 5s))
      << h.Emulator()->StderrText();
   close(v4);
   if (v6 >= 0) {
      close(v6);
   }
}

TEST(AgentFailure, PortTakenOnOneAddressStillServesOnTheOther)
{
   AgentHarness h;
   int v4 = ListenOn(AF_INET, h.Port());
   ASSERT_GE(v4, 0);
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   EXPECT_NE(h.Agent().StderrText().find("IPv4 Failed to listen on: "), std::string::npos);
   EXPECT_EQ(h.StopAgent(), 0);
   close(v4);
}

TEST(AgentFailure, StaleSocketFileDoesNotPreventStart)
{
   AgentHarness h;
   h.Dir().Write("zarnaRuvoLocal.sock", "left over");
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST(AgentFailure, UnusableFirewallSettingExitsOne)
{
   AgentHarness h;
   h.WriteConfig("");
   // Replace the backend with one that does not exist.
   std::string path = h.Dir().File("config.xml");
   std::ifstream in(path);
   std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   auto pos = text.find("file:");
   text.replace(pos, 5, "bogus:");
   h.Dir().Write("config.xml", text);
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   EXPECT_NE(h.Agent().StderrText().find("Exiting with error: "), std::string::npos)
      << h.Agent().StderrText();
}

} // namespace
