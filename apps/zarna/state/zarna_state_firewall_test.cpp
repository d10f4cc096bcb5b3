// The state over the agent's real firewall functions, with the file backend of
// the firewall library and a resolver that answers from a table: the ruleset's
// allow-list must equal the resolved addresses of the configured hosts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "apps/zarna/firewall/firewall.h"
#include "apps/zarna/firewall/host_resolver.h"
#include "apps/zarna/firewall/testing/table_resolver.h"
#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostctl/file_backend.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

using Zarna::ServiceResult;
using ZarnaTesting::Address;
using ZarnaTesting::ValidChain;

class ZarnaStateFirewallTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      mDir = std::filesystem::temp_directory_path() / ("zarna-fw-" + std::to_string(getpid()));
      std::filesystem::create_directories(mDir);
      mBackend = std::make_shared<HykCtl::System::FileBackend>((mDir / "firewall.json").string());
      HykCtl::System::SetFirewallBackend(mBackend);
      resolver->table = {{"att.test", {"192.0.2.10", "2001:db8::10"}},
                         {"kms.test", {"192.0.2.20"}},
                         {"both.test", {"192.0.2.30"}}};
      mPreviousResolver = Zarna::SetHostResolver(resolver);
      harness.firewall.reset();
   }
   void TearDown() override
   {
      Zarna::SetHostResolver(mPreviousResolver);
      HykCtl::System::SetFirewallBackend(nullptr);
      std::filesystem::remove_all(mDir);
   }

   std::shared_ptr<Zarna::ZarnaState> Start()
   {
      auto options = harness.Options();
      options.firewall = nullptr; // the host firewall
      auto state = Zarna::ZarnaState::Create(options);
      state->Init();
      return state;
   }

   std::set<std::string> Allowed()
   {
      auto ruleset = mBackend->QueryRuleset(Zarna::kFirewallRulesetId);
      std::set<std::string> texts;
      for (const auto &a : ruleset.ipv4) {
         texts.insert(a.ToString());
      }
      for (const auto &a : ruleset.ipv6) {
         texts.insert(a.ToString());
      }
      return texts;
   }
   std::set<std::string> Expected(Zarna::ZarnaState &state)
   {
      std::set<std::string> texts;
      for (const std::string &host : ZarnaTesting::ConfiguredHostnames(state)) {
         for (const std::string &ip : resolver->table[host]) {
            texts.insert(ip);
         }
      }
      return texts;
   }

   ZarnaTesting::StateHarness harness;
   HostlibTesting::LogCapture log;
   std::shared_ptr<ZarnaTesting::TableResolver> resolver = std::make_shared<ZarnaTesting::TableResolver>();
   std::shared_ptr<HykCtl::System::FileBackend> mBackend;
   std::shared_ptr<Zarna::HostResolver> mPreviousResolver;
   std::filesystem::path mDir;
};

TEST_F(ZarnaStateFirewallTest, AllowListFollowsTheConfiguredHosts)
{
   auto state = Start();
   EXPECT_TRUE(mBackend->QueryRuleset(Zarna::kFirewallRulesetId).enabled);
   std::string att = ZarnaTesting::InsertAttestd(*state, "att.test", "g1");
   ZarnaTesting::InsertZarnd(*state, "kms.test", "g1");
   std::string both1 = ZarnaTesting::InsertAttestd(*state, "both.test", "g2");
   std::string both2 = ZarnaTesting::InsertZarnd(*state, "both.test", "g3");
   std::string id;
   EXPECT_EQ(Allowed(), Expected(*state));
   EXPECT_EQ(Allowed().size(), 4u);

   // Unresolvable: refused, nothing stored, nothing allowed.
   EXPECT_EQ(state->InsertZarndInfo(Address("nowhere.test"), ValidChain(), "g4", id),
             ServiceResult::FirewallFailure);
   EXPECT_TRUE(log.Contains("getaddrinfo failed for nowhere.test"));
   EXPECT_EQ(Allowed(), Expected(*state));

   // Shared between groups and kinds: kept until the last user goes.
   EXPECT_EQ(state->DeleteAttestdInfo(both1), ServiceResult::Ok);
   EXPECT_EQ(Allowed(), Expected(*state));
   EXPECT_TRUE(Allowed().count("192.0.2.30"));
   EXPECT_EQ(state->DeleteZarndInfo(both2), ServiceResult::Ok);
   EXPECT_EQ(Allowed(), Expected(*state));
   EXPECT_FALSE(Allowed().count("192.0.2.30"));

   EXPECT_EQ(state->DeleteAttestdInfo(att), ServiceResult::Ok);
   EXPECT_EQ(Allowed(), (std::set<std::string>{"192.0.2.20"}));

   state->Shutdown();
   EXPECT_TRUE(Allowed().empty());
   EXPECT_FALSE(mBackend->QueryRuleset(Zarna::kFirewallRulesetId).enabled);

   // A restart allows the stored hosts again.
   auto restarted = Start();
   EXPECT_EQ(Allowed(), (std::set<std::string>{"192.0.2.20"}));
   restarted->Shutdown();
}

} // namespace
