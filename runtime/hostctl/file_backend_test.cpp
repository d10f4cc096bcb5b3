#include "runtime/hostctl/file_backend.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/hostctl/testing/ruleset_conformance.h"

namespace HykCtl::System {
namespace {

namespace fs = std::filesystem;
using HostCtl::Lib::HostCtlException;

class FileBackendTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      char pattern[] = "/tmp/zarna-hostctl-XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      mDir = pattern;
      mPath = mDir + "/firewall.json";
   }
   void TearDown() override
   {
      std::error_code ignored;
      fs::remove_all(mDir, ignored);
   }

   std::string mDir;
   std::string mPath;
};

TEST_F(FileBackendTest, BehavesLikeAFirewall)
{
   HostCtlTesting::ExpectRulesetLifecycle(std::make_shared<FileBackend>(mPath));
}

TEST_F(FileBackendTest, StateSurvivesAndIsWrittenWhole)
{
   {
      auto backend = std::make_shared<FileBackend>(mPath);
      ModuleImpl("brimfw", backend).Load("", false);
      auto ruleset = SystemInfoImpl(backend).GetFirewallRulesetById(HostCtlTesting::kZarnaRuleset);
      ruleset->Enable();
      ruleset->AddAllowedIp("198.51.100.7");
      ruleset->AddAllowedIp("2001:db8::7");
   }
   auto ruleset = SystemInfoImpl(std::make_shared<FileBackend>(mPath)).GetFirewallRulesetById(HostCtlTesting::kZarnaRuleset);
   EXPECT_TRUE(ruleset->IsEnabled());
   EXPECT_EQ(HostCtlTesting::SortedAllowed(*ruleset), "198.51.100.7 2001:db8::7 ");

   std::vector<std::string> entries;
   for (const auto &entry : fs::directory_iterator(mDir)) {
      entries.push_back(entry.path().filename());
   }
   EXPECT_EQ(entries, std::vector<std::string>{"firewall.json"}) << "no temporary files left";
   struct stat st {};
   ASSERT_EQ(stat(mPath.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileBackendTest, DamagedOrRedirectedStateIsAnError)
{
   auto backend = std::make_shared<FileBackend>(mPath);
   for (const std::string &content :
        {std::string("{"), std::string("[]"), std::string("{\"version\":2,\"rulesets\":{}}"),
         std::string("{\"version\":1,\"rulesets\":{\"r\":{\"enabled\":1,\"allowedAll\":false,\"ipv4\":[],\"ipv6\":[]}}}"),
         std::string("{\"version\":1,\"rulesets\":{\"r\":{\"enabled\":true,\"allowedAll\":false,\"ipv4\":[\"10.0.0.0/8\"],\"ipv6\":[]}}}"),
         std::string(100000, '[')}) {
      std::ofstream(mPath, std::ios::trunc) << content;
      EXPECT_THROW(backend->QueryRuleset("r"), HostCtlException) << content.substr(0, 80);
      EXPECT_THROW(backend->CreateRuleset("r"), HostCtlException);
   }
   fs::remove(mPath);
   std::string real = mDir + "/real.json";
   std::ofstream(real) << "{\"version\":1,\"rulesets\":{}}";
   fs::create_symlink(real, mPath);
   EXPECT_THROW(backend->QueryRuleset("r"), HostCtlException) << "a symlinked state file is not followed";
}

TEST_F(FileBackendTest, ConcurrentChangesAreNotLost)
{
   auto backend = std::make_shared<FileBackend>(mPath);
   ModuleImpl("brimfw", backend).Load("", false);
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([backend, t] {
         auto ruleset = SystemInfoImpl(backend).GetFirewallRulesetById(HostCtlTesting::kZarnaRuleset);
         for (int i = 0; i < 5; i++) {
            ruleset->AddAllowedIp("10.0." + std::to_string(t) + "." + std::to_string(i));
         }
      });
   }
   for (auto &thread : threads) {
      thread.join();
   }
   auto ruleset = SystemInfoImpl(backend).GetFirewallRulesetById(HostCtlTesting::kZarnaRuleset);
   EXPECT_EQ(ruleset->GetAllowedIpList().ipv4.size(), 20u);
}

// A writer killed between creating its temporary file and renaming it leaves
// the file behind; start-up removes exactly those and nothing else.
TEST_F(FileBackendTest, StartUpRemovesLeftoverTemporaryFiles)
{
   for (const char *name : {"firewall.json.a1B2c3", "firewall.json.zzzzzz", "firewall.json.toolong1",
                            "firewall.jsonXabcdef", "other.json.abcdef", "firewall.json"}) {
      std::ofstream(mDir + "/" + name) << "{}";
   }
   fs::create_directory(mDir + "/firewall.json.dir123");
   EXPECT_EQ(FileBackend::RemoveLeftoverTemporaries(mPath), 2);
   std::set<std::string> left;
   for (const auto &entry : fs::directory_iterator(mDir)) {
      left.insert(entry.path().filename());
   }
   EXPECT_EQ(left, (std::set<std::string>{"firewall.json", "firewall.json.toolong1", "firewall.jsonXabcdef",
                                          "other.json.abcdef", "firewall.json.dir123"}));

   std::ofstream(mDir + "/firewall.json.q9q9q9") << "{}";
   CreateFirewallBackend("file:" + mPath);
   EXPECT_FALSE(fs::exists(mDir + "/firewall.json.q9q9q9"));
}

TEST(FirewallBackendSettingTest, ChoosesBackendFromConfiguration)
{
   EXPECT_EQ(CreateFirewallBackend("nftables")->Describe(), "nftables");
   EXPECT_EQ(CreateFirewallBackend("file:/var/lib/zarna/fw.json")->Describe(), "file:/var/lib/zarna/fw.json");
   for (const char *bad : {"", "file:", "file:relative.json", "iptables", "nftables "}) {
      EXPECT_THROW(CreateFirewallBackend(bad), HostCtlException) << bad;
   }
}

} // namespace
} // namespace HykCtl::System
