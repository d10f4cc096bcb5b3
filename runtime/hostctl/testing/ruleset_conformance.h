// Behaviour every firewall backend shares, checked through the library's
// handles; run against the file backend and, in a private network namespace,
// against nftables.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostctl/system.h"

namespace HostCtlTesting {

inline constexpr const char *kZarnaRuleset = "trusted-infrastructure-zarna";

inline std::string Describe(const HykCtl::System::AllowedIpList &list)
{
   std::string text;
   for (const auto &a : list.ipv4) {
      text += a.ToString() + " ";
   }
   for (const auto &a : list.ipv6) {
      text += a.ToString() + " ";
   }
   return text;
}

inline std::string SortedAllowed(const HykCtl::System::FirewallRuleset &ruleset)
{
   HykCtl::System::AllowedIpList list = ruleset.GetAllowedIpList();
   std::sort(list.ipv4.begin(), list.ipv4.end(),
             [](const auto &a, const auto &b) { return a.ToString() < b.ToString(); });
   std::sort(list.ipv6.begin(), list.ipv6.end(),
             [](const auto &a, const auto &b) { return a.ToString() < b.ToString(); });
   return Describe(list);
}

inline void ExpectRulesetLifecycle(const std::shared_ptr<HykCtl::System::FirewallBackend> &backend)
{
   using HostCtl::Lib::HostCtlException;
   using HykCtl::System::ModuleImpl;
   using HykCtl::System::SystemInfoImpl;

   auto ruleset = SystemInfoImpl(backend).GetFirewallRulesetById(kZarnaRuleset);
   EXPECT_FALSE(ruleset->IsValid()) << "nothing exists before the module is loaded";
   EXPECT_THROW(ruleset->IsEnabled(), HostCtlException);
   EXPECT_THROW(ruleset->AddAllowedIp("192.0.2.1"), HostCtlException);
   EXPECT_THROW(ruleset->Enable(), HostCtlException);

   EXPECT_THROW(ModuleImpl("nosuchfw", backend).Refresh(), HostCtlException);
   EXPECT_THROW(ModuleImpl("brimfw", backend).Load("opt", false), HostCtlException);
   EXPECT_THROW(ModuleImpl("brimfw", backend).Load("", true), HostCtlException);

   ModuleImpl module("brimfw", backend);
   EXPECT_TRUE(module.NeedsRefresh());
   module.Refresh();
   EXPECT_FALSE(module.NeedsRefresh());
   EXPECT_FALSE(module.IsLoaded());
   module.Load("", false);
   EXPECT_TRUE(module.IsLoaded());

   ASSERT_TRUE(ruleset->IsValid());
   EXPECT_FALSE(ruleset->IsEnabled());
   EXPECT_FALSE(ruleset->IsAllowedAll()) << "a new ruleset confines";
   EXPECT_EQ(SortedAllowed(*ruleset), "");

   ruleset->Enable();
   ruleset->Enable();
   EXPECT_TRUE(ruleset->IsEnabled());
   ruleset->SetAllowedAll(true);
   EXPECT_TRUE(ruleset->IsAllowedAll());
   EXPECT_TRUE(ruleset->IsEnabled()) << "the switch leaves enablement alone";
   ruleset->SetAllowedAll(false);
   EXPECT_FALSE(ruleset->IsAllowedAll());

   ruleset->AddAllowedIp("192.0.2.1");
   ruleset->AddAllowedIp("2001:DB8:0::1");
   ruleset->AddAllowedIp("192.0.2.1");
   ruleset->AddAllowedIp("192.0.2.3");
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.1 192.0.2.3 2001:db8::1 ");
   // Only single addresses go in, so nothing wider than asked is ever opened.
   for (const char *wide : {"192.0.2.0/24", "192.0.2.1-192.0.2.9", "0.0.0.0/0", "::/0", "example.org", ""}) {
      EXPECT_THROW(ruleset->AddAllowedIp(wide), HostCtlException) << wide;
   }
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.1 192.0.2.3 2001:db8::1 ");

   ruleset->RemoveAllowedIp("192.0.2.1");
   EXPECT_THROW(ruleset->RemoveAllowedIp("192.0.2.1"), HostCtlException);
   EXPECT_THROW(ruleset->RemoveAllowedIp("192.0.2.0/24"), HostCtlException);
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.3 2001:db8::1 ");

   // Loading again (a restarted agent) keeps what is there.
   ModuleImpl again("brimfw", backend);
   again.Refresh();
   EXPECT_TRUE(again.IsLoaded());
   again.Load("", false);
   EXPECT_TRUE(ruleset->IsEnabled());
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.3 2001:db8::1 ");

   ruleset->Disable();
   ruleset->Disable();
   EXPECT_FALSE(ruleset->IsEnabled());
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.3 2001:db8::1 ") << "disabling keeps the list";

   // One change adds and removes many; present additions and absent removals
   // (and repeats) change nothing, and a bad text changes nothing at all.
   ruleset->ChangeAllowedIps({"192.0.2.3", "192.0.2.4", "192.0.2.4", "2001:db8::2"},
                             {"2001:DB8::1", "198.51.100.1"});
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.3 192.0.2.4 2001:db8::2 ");
   EXPECT_THROW(ruleset->ChangeAllowedIps({"192.0.2.5", "192.0.2.0/24"}, {"192.0.2.3"}), HostCtlException);
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.3 192.0.2.4 2001:db8::2 ");
   ruleset->ChangeAllowedIps({}, {"192.0.2.3", "192.0.2.4", "2001:db8::2"});
   EXPECT_EQ(SortedAllowed(*ruleset), "");
   ruleset->ChangeAllowedIps({"192.0.2.3", "2001:db8::1"}, {});
   EXPECT_EQ(SortedAllowed(*ruleset), "192.0.2.3 2001:db8::1 ");

   auto unknown = SystemInfoImpl(backend).GetFirewallRulesetById("some-other-ruleset");
   EXPECT_FALSE(unknown->IsValid());
   EXPECT_THROW(unknown->Enable(), HostCtlException);
   EXPECT_THROW(unknown->AddAllowedIp("192.0.2.9"), HostCtlException);
}

} // namespace HostCtlTesting
