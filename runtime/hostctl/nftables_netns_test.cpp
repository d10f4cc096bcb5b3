// The nftables backend against the real kernel, inside a private network
// namespace so the host's firewall is never touched.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/hostctl/agent_traffic.h"
#include "runtime/hostctl/command_runner.h"
#include "runtime/hostctl/nftables_backend.h"
#include "runtime/hostctl/testing/private_namespace.h"
#include "runtime/hostctl/testing/ruleset_conformance.h"

namespace HykCtl::System {
namespace {

bool HaveTools()
{
   return access("/usr/sbin/nft", X_OK) == 0 && access("/usr/sbin/ip", X_OK) == 0;
}

#define REQUIRE_NFT_NAMESPACE()                                                       \
   do {                                                                               \
      if (!HaveTools()) {                                                             \
         GTEST_SKIP() << "skipped: nft or ip not installed (scripts/bootstrap)";       \
      }                                                                               \
      ZARNA_RUN_IN_PRIVATE_NAMESPACES(CLONE_NEWNET);                                  \
   } while (0)

void Ip(const std::vector<std::string> &args)
{
   std::vector<std::string> argv{"/usr/sbin/ip"};
   argv.insert(argv.end(), args.begin(), args.end());
   auto result = HostCtl::Lib::SpawnCommandRunner().Run(argv, "");
   ASSERT_EQ(result.exitCode, 0) << result.err;
}

// 0 when a UDP datagram to the address could be sent, else the errno; a send
// refused by the output hook fails with EPERM at once.
int SendUdp(const std::string &address, bool marked)
{
   bool v6 = address.find(':') != std::string::npos;
   int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   if (fd < 0) {
      return errno;
   }
   if (marked && HostCtl::Network::MarkAgentSocket(fd) != 0) {
      close(fd);
      return -1;
   }
   sockaddr_storage storage{};
   socklen_t length = 0;
   if (v6) {
      auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&storage);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_port = htons(9);
      inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr);
      length = sizeof *sin6;
   } else {
      auto *sin = reinterpret_cast<sockaddr_in *>(&storage);
      sin->sin_family = AF_INET;
      sin->sin_port = htons(9);
      inet_pton(AF_INET, address.c_str(), &sin->sin_addr);
      length = sizeof *sin;
   }
   int err = sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr *>(&storage), length) == 1 ? 0 : errno;
   close(fd);
   return err;
}

TEST(NftablesNamespaceTest, BehavesLikeAFirewall)
{
   REQUIRE_NFT_NAMESPACE();
   HostCtlTesting::ExpectRulesetLifecycle(std::make_shared<NftablesBackend>());
}

TEST(NftablesNamespaceTest, EnabledRulesetConfinesOnlyTheAgentsTraffic)
{
   REQUIRE_NFT_NAMESPACE();
   Ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"});
   Ip({"link", "set", "v0", "up"});
   Ip({"link", "set", "v1", "up"});
   Ip({"addr", "add", "10.9.0.1/16", "dev", "v0"});
   Ip({"-6", "addr", "add", "fd00::1/64", "dev", "v0", "nodad"});

   auto backend = std::make_shared<NftablesBackend>();
   ModuleImpl("brimfw", backend).Load("", false);
   auto ruleset = SystemInfoImpl(backend).GetFirewallRulesetById(HostCtlTesting::kZarnaRuleset);
   ruleset->AddAllowedIp("10.9.0.7");
   ruleset->AddAllowedIp("fd00::7");
   EXPECT_EQ(SendUdp("10.9.0.8", true), 0) << "a disabled ruleset confines nothing";

   ruleset->Enable();
   EXPECT_EQ(SendUdp("10.9.0.7", true), 0);
   EXPECT_EQ(SendUdp("fd00::7", true), 0);
   EXPECT_EQ(SendUdp("127.0.0.1", true), 0) << "loopback stays open";
   EXPECT_EQ(SendUdp("::1", true), 0);
   EXPECT_EQ(SendUdp("10.9.0.8", true), EPERM);
   EXPECT_EQ(SendUdp("fd00::8", true), EPERM);
   EXPECT_EQ(SendUdp("10.9.0.8", false), 0) << "other processes' traffic is not ours to confine";

   ruleset->SetAllowedAll(true);
   EXPECT_EQ(SendUdp("10.9.0.8", true), 0);
   ruleset->SetAllowedAll(false);
   EXPECT_EQ(SendUdp("10.9.0.8", true), EPERM);

   ruleset->RemoveAllowedIp("10.9.0.7");
   EXPECT_EQ(SendUdp("10.9.0.7", true), EPERM);
   EXPECT_EQ(SendUdp("fd00::7", true), 0);

   ruleset->Disable();
   EXPECT_EQ(SendUdp("10.9.0.7", true), 0);
}

TEST(NftablesNamespaceTest, RulesetRemovedBehindOurBackIsInvalidUntilReloaded)
{
   REQUIRE_NFT_NAMESPACE();
   auto backend = std::make_shared<NftablesBackend>();
   ModuleImpl("brimfw", backend).Load("", false);
   auto ruleset = SystemInfoImpl(backend).GetFirewallRulesetById(HostCtlTesting::kZarnaRuleset);
   ASSERT_TRUE(ruleset->IsValid());
   auto result = HostCtl::Lib::SpawnCommandRunner().Run(
      {"/usr/sbin/nft", "delete", "table", "inet", HostCtlTesting::kZarnaRuleset}, "");
   ASSERT_EQ(result.exitCode, 0) << result.err;
   EXPECT_FALSE(ruleset->IsValid());
   ModuleImpl module("brimfw", backend);
   module.Refresh();
   EXPECT_FALSE(module.IsLoaded());
   module.Load("", false);
   EXPECT_TRUE(ruleset->IsValid());
}

} // namespace
} // namespace HykCtl::System
