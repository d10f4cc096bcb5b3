#include "apps/zarna/firewall/firewall.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/zarna/firewall/host_resolver.h"
#include "apps/zarna/firewall/testing/table_resolver.h"
#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace Zarna {
namespace {

using HostCtl::Lib::HostCtlException;
using HostCtl::Network::IpAddress;
using HykCtl::System::RulesetState;

// A firewall in memory whose operations can be made to fail.
class ScriptedFirewall : public HykCtl::System::FirewallBackend {
public:
   std::string Describe() const override { return "scripted"; }
   RulesetState QueryRuleset(const std::string &id) override
   {
      Maybe(failQueries);
      auto it = rulesets.find(id);
      return it == rulesets.end() ? RulesetState{} : it->second;
   }
   void CreateRuleset(const std::string &id) override
   {
      Maybe(failCreate);
      creates++;
      rulesets[id].exists = true;
   }
   void SetEnabled(const std::string &id, bool enabled) override
   {
      Maybe(failEnable);
      Existing(id).enabled = enabled;
   }
   void SetAllowedAll(const std::string &id, bool allowedAll) override
   {
      switchChanges++;
      Existing(id).allowedAll = allowedAll;
   }
   void AddAddress(const std::string &id, const IpAddress &address) override
   {
      if (++adds == failAddNumber) {
         throw HostCtlException("nftables could not add", "injected");
      }
      RulesetState &state = Existing(id);
      if (const auto *v4 = std::get_if<HostCtl::Network::Ipv4Address>(&address)) {
         state.ipv4.push_back(*v4);
      } else {
         state.ipv6.push_back(std::get<HostCtl::Network::Ipv6Address>(address));
      }
   }
   void RemoveAddress(const std::string &id, const IpAddress &address) override
   {
      if (++removes == failRemoveNumber) {
         throw HostCtlException("nftables could not remove", "injected");
      }
      RulesetState &state = Existing(id);
      if (const auto *v4 = std::get_if<HostCtl::Network::Ipv4Address>(&address)) {
         state.ipv4.erase(std::find(state.ipv4.begin(), state.ipv4.end(), *v4));
      } else {
         state.ipv6.erase(std::find(state.ipv6.begin(), state.ipv6.end(), std::get<HostCtl::Network::Ipv6Address>(address)));
      }
   }

   void ChangeAddresses(const std::string &id, const std::vector<IpAddress> &add,
                        const std::vector<IpAddress> &remove) override
   {
      Maybe(failChanges);
      ++changes;
      FirewallBackend::ChangeAddresses(id, add, remove);
   }

   std::string Allowed(const std::string &id = kFirewallRulesetId)
   {
      std::string text;
      for (const auto &a : rulesets[id].ipv4) {
         text += a.ToString() + " ";
      }
      for (const auto &a : rulesets[id].ipv6) {
         text += a.ToString() + " ";
      }
      return text;
   }

   std::map<std::string, RulesetState> rulesets;
   bool failQueries = false;
   bool failCreate = false;
   bool failEnable = false;
   int failAddNumber = 0;
   int failRemoveNumber = 0;
   int adds = 0;
   int removes = 0;
   int creates = 0;
   int switchChanges = 0;
   bool failChanges = false;
   int changes = 0;

private:
   static void Maybe(bool fail)
   {
      if (fail) {
         throw HostCtlException("firewall unavailable", "injected");
      }
   }
   RulesetState &Existing(const std::string &id)
   {
      auto it = rulesets.find(id);
      if (it == rulesets.end()) {
         throw HostCtlException("no such ruleset");
      }
      return it->second;
   }
};

class FirewallTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      HykCtl::System::SetFirewallBackend(mFirewall);
      mPreviousResolver = SetHostResolver(mResolver);
      mResolver->table = {{"peer.example", {"192.0.2.10", "2001:db8::10"}},
                          {"other.example", {"192.0.2.20"}},
                          {"shared.example", {"192.0.2.10", "192.0.2.30"}}};
   }
   void TearDown() override
   {
      HykCtl::System::SetFirewallBackend(nullptr);
      SetHostResolver(mPreviousResolver);
   }
   void LoadRuleset() { mFirewall->rulesets[kFirewallRulesetId].exists = true; }

   std::shared_ptr<ScriptedFirewall> mFirewall = std::make_shared<ScriptedFirewall>();
   std::shared_ptr<ZarnaTesting::TableResolver> mResolver = std::make_shared<ZarnaTesting::TableResolver>();
   std::shared_ptr<HostResolver> mPreviousResolver;
   HostlibTesting::LogCapture mLog;
};

TEST_F(FirewallTest, AddsAndRemovesEveryResolvedAddressOnce)
{
   LoadRuleset();
   EXPECT_TRUE(FirewallAddHost("peer.example"));
   EXPECT_EQ(mFirewall->Allowed(), "192.0.2.10 2001:db8::10 ") << "both families, in resolver order";
   EXPECT_EQ(mResolver->lastHints.ai_family, AF_UNSPEC);
   EXPECT_EQ(mResolver->lastHints.ai_socktype, SOCK_STREAM);
   EXPECT_EQ(mResolver->lastHints.ai_flags, 0);
   EXPECT_TRUE(mLog.Has(130, "Host peer.example, ip: 2001:db8::10"));
   EXPECT_TRUE(mLog.Has(130, "Successfully added 192.0.2.10 to firewall whitelist"));

   mLog.Clear();
   EXPECT_TRUE(FirewallAddHost("peer.example"));
   EXPECT_TRUE(mLog.Has(130, "Already added 192.0.2.10 to firewall whitelist"));
   EXPECT_TRUE(mLog.Has(130, "Already added 2001:db8::10 to firewall whitelist"));
   EXPECT_EQ(mFirewall->adds, 2);

   EXPECT_TRUE(FirewallRemoveHost("peer.example"));
   EXPECT_EQ(mFirewall->Allowed(), "");
   EXPECT_TRUE(mLog.Has(130, "Successfully removed 2001:db8::10 from firewall whitelist"));
   EXPECT_TRUE(FirewallRemoveHost("peer.example"));
   EXPECT_TRUE(mLog.Has(130, "Already removed 192.0.2.10 from firewall whitelist"));
}

TEST_F(FirewallTest, ResolutionProblemsAreReportedNotGuessed)
{
   LoadRuleset();
   EXPECT_FALSE(FirewallAddHost("nohost.example"));
   EXPECT_TRUE(mLog.Has(110, "getaddrinfo failed for nohost.example: " + std::string(gai_strerror(EAI_NONAME))));
   EXPECT_FALSE(FirewallAddHost(std::string("peer.example\0.evil", 17))) << "a NUL must not shorten the name";
   EXPECT_EQ(mFirewall->Allowed(), "");

   mResolver->table["odd.example"] = {"", "192.0.2.40"};
   EXPECT_TRUE(FirewallAddHost("odd.example"));
   EXPECT_TRUE(mLog.Has(110, "Unknown family (1) in address info for odd.example"));
   EXPECT_EQ(mFirewall->Allowed(), "192.0.2.40 ");

   mResolver->table["empty.example"] = {};
   EXPECT_TRUE(FirewallAddHost("empty.example")) << "no usable address is not a failure";
}

TEST_F(FirewallTest, LibraryFailuresBecomeFalseWithOneLine)
{
   EXPECT_FALSE(FirewallAddHost("peer.example")) << "the ruleset was never loaded";
   EXPECT_TRUE(mLog.Has(110, "Could not add peer.example to firewall whitelist: Invalid ruleset"));
   EXPECT_FALSE(FirewallRemoveHost("peer.example"));
   EXPECT_TRUE(mLog.Has(110, "Could not remove peer.example from firewall whitelist: Invalid ruleset"));

   LoadRuleset();
   mFirewall->failQueries = true;
   EXPECT_FALSE(FirewallAddHost("peer.example"));
   EXPECT_TRUE(mLog.Has(110, "Could not add peer.example to firewall whitelist: firewall unavailable: injected"));
}

TEST_F(FirewallTest, AFailedAddTakesBackOnlyWhatItAddedAFailedRemoveStillRemovesTheRest)
{
   LoadRuleset();
   ASSERT_TRUE(FirewallAddHost("other.example"));
   mFirewall->rulesets[kFirewallRulesetId].ipv4.push_back(HostCtl::Network::Ipv4Address("192.0.2.10"));
   mResolver->table["three.example"] = {"192.0.2.10", "192.0.2.50", "192.0.2.60"};
   mFirewall->failAddNumber = mFirewall->adds + 2; // 192.0.2.60 fails after .50 went in
   EXPECT_FALSE(FirewallAddHost("three.example"));
   EXPECT_TRUE(mLog.Has(110, "Could not add three.example to firewall whitelist: nftables could not add: injected"));
   EXPECT_EQ(mFirewall->Allowed(), "192.0.2.20 192.0.2.10 ")
      << "192.0.2.50 withdrawn; the address that was there before stays";

   mFirewall->rulesets[kFirewallRulesetId].ipv4.clear();
   ASSERT_TRUE(FirewallAddHost("shared.example"));
   mFirewall->failRemoveNumber = mFirewall->removes + 1;
   EXPECT_FALSE(FirewallRemoveHost("shared.example"));
   EXPECT_TRUE(mLog.Has(110, "Could not remove shared.example from firewall whitelist: nftables could not remove: injected"));
   EXPECT_EQ(mFirewall->Allowed(), "192.0.2.10 ");
}

TEST_F(FirewallTest, EnablingLoadsTheModuleAndConfines)
{
   EXPECT_TRUE(SetRulesetEnabled(kFirewallRulesetId, true));
   EXPECT_EQ(mFirewall->creates, 1);
   const RulesetState &state = mFirewall->rulesets[kFirewallRulesetId];
   EXPECT_TRUE(state.enabled);
   EXPECT_FALSE(state.allowedAll);
   EXPECT_EQ(mFirewall->switchChanges, 1);

   // Already enabled: nothing changes, not even the switch.
   mFirewall->rulesets[kFirewallRulesetId].allowedAll = true;
   EXPECT_TRUE(SetRulesetEnabled(kFirewallRulesetId, true));
   EXPECT_EQ(mFirewall->switchChanges, 1);
   EXPECT_EQ(mFirewall->creates, 1) << "a loaded module is not loaded again";

   EXPECT_TRUE(SetRulesetEnabled(kFirewallRulesetId, false));
   EXPECT_FALSE(mFirewall->rulesets[kFirewallRulesetId].enabled);

   mFirewall->failEnable = true;
   EXPECT_FALSE(SetRulesetEnabled(kFirewallRulesetId, true));
   EXPECT_TRUE(mLog.Has(110, "Could not enable the firewall rules: firewall unavailable: injected"));
   mFirewall->rulesets[kFirewallRulesetId].enabled = true;
   EXPECT_FALSE(SetRulesetEnabled(kFirewallRulesetId, false));
   EXPECT_TRUE(mLog.Has(110, "Could not disable the firewall rules: firewall unavailable: injected"));

   mFirewall->rulesets.clear();
   mFirewall->failCreate = true;
   EXPECT_FALSE(SetRulesetEnabled(kFirewallRulesetId, true));
}

TEST_F(FirewallTest, OpenAndCloseGoOnPastFailingHosts)
{
   FirewallOpen({"peer.example", "nohost.example", "other.example"});
   EXPECT_TRUE(mFirewall->rulesets[kFirewallRulesetId].enabled);
   EXPECT_EQ(mFirewall->Allowed(), "192.0.2.10 192.0.2.20 2001:db8::10 ");
   EXPECT_TRUE(mLog.Has(110, "Error adding nohost.example to firewall"));

   FirewallClose({"nohost.example", "peer.example", "other.example"});
   EXPECT_TRUE(mLog.Has(110, "Error removing nohost.example from firewall"));
   EXPECT_EQ(mFirewall->Allowed(), "");
   EXPECT_FALSE(mFirewall->rulesets[kFirewallRulesetId].enabled);
}

// Start-up makes the list exactly the configured addresses in one change, and
// names each address it drops; adds report exactly what they added, so that a
// refused insert takes back only its own.
TEST_F(FirewallTest, AddressChangesAreOneChangeEachAndReportWhatTheyAdded)
{
   LoadRuleset();
   auto &state = mFirewall->rulesets[kFirewallRulesetId];
   state.ipv4.push_back(HostCtl::Network::Ipv4Address("192.0.2.10"));
   state.ipv4.push_back(HostCtl::Network::Ipv4Address("198.51.100.9"));
   std::vector<std::string> configured;
   for (int i = 0; i < 300; ++i) {
      configured.push_back("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
   }
   configured.push_back("192.0.2.10");
   configured.push_back("2001:DB8::10");
   ASSERT_TRUE(FirewallOpenIps(configured));
   EXPECT_TRUE(state.enabled);
   EXPECT_EQ(mFirewall->changes, 1);
   EXPECT_EQ(state.ipv4.size(), 301u);
   EXPECT_EQ(state.ipv6.size(), 1u);
   EXPECT_TRUE(mLog.Has(125, "Removed 198.51.100.9 from firewall whitelist: no configured service resolves to it"));
   EXPECT_FALSE(mLog.Has(125, "Removed 192.0.2.10"));

   std::vector<std::string> added;
   ASSERT_TRUE(FirewallAllowIps("h.example", {"192.0.2.10", "192.0.2.99", "192.0.2.99"}, added));
   EXPECT_EQ(added, (std::vector<std::string>{"192.0.2.99"}));
   EXPECT_EQ(mFirewall->changes, 2);
   ASSERT_TRUE(FirewallAllowIps("h.example", {"2001:db8:0::10"}, added));
   EXPECT_TRUE(added.empty()) << "the same address in another spelling is already there";
   EXPECT_EQ(mFirewall->changes, 2) << "nothing to add is no change";

   mFirewall->failChanges = true;
   EXPECT_FALSE(FirewallAllowIps("h.example", {"192.0.2.77"}, added));
   EXPECT_TRUE(added.empty());
   EXPECT_TRUE(mLog.Has(110, "Could not add h.example to firewall whitelist: firewall unavailable: injected"));
   EXPECT_FALSE(FirewallDisallowIps("h.example", {"192.0.2.99"}));
   mFirewall->failChanges = false;

   ASSERT_TRUE(FirewallDisallowIps("h.example", {"192.0.2.99", "203.0.113.1"}));
   EXPECT_TRUE(mLog.Has(130, "Already removed 203.0.113.1 from firewall whitelist"));
   int before = mFirewall->changes;
   EXPECT_TRUE(FirewallCloseIps(configured));
   EXPECT_EQ(mFirewall->changes, before + 1);
   EXPECT_EQ(mFirewall->Allowed(), "");
   EXPECT_FALSE(state.enabled);
}

TEST_F(FirewallTest, AllowedIpsCompareByValue)
{
   LoadRuleset();
   mFirewall->rulesets[kFirewallRulesetId].ipv6.push_back(HostCtl::Network::Ipv6Address("2001:db8::1"));
   auto ruleset = GetRuleset(kFirewallRulesetId);
   EXPECT_TRUE(IsIpAllowed("2001:DB8:0::1", *ruleset));
   EXPECT_FALSE(IsIpAllowed("2001:db8::2", *ruleset));
   EXPECT_FALSE(IsIpAllowed("192.0.2.1", *ruleset));
   EXPECT_FALSE(IsIpAllowed("2001:db8::/64", *ruleset));
   EXPECT_TRUE(mLog.Has(110, "2001:db8::/64 is not a valid IPv4 or IPv6"));
}

TEST(SystemHostResolverTest, ResolvesLiteralsWithoutTheNetwork)
{
   SystemHostResolver resolver;
   addrinfo hints{};
   hints.ai_family = AF_UNSPEC;
   hints.ai_socktype = SOCK_STREAM;
   std::vector<ResolvedAddress> addresses;
   ASSERT_EQ(resolver.Resolve("::1", hints, addresses), 0);
   ASSERT_EQ(addresses.size(), 1u);
   EXPECT_EQ(addresses[0].family, AF_INET6);
   addresses.clear();
   ASSERT_EQ(resolver.Resolve("127.0.0.2", hints, addresses), 0);
   ASSERT_EQ(addresses.size(), 1u);
   EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&addresses[0].address)->sin_addr.s_addr, htonl(0x7f000002));
   EXPECT_EQ(resolver.Resolve("", hints, addresses), EAI_NONAME);
}

} // namespace
} // namespace Zarna
