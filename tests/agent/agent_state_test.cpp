// The trust state of the running agent under misuse: a second agent on the same
// store, readers among busy writers, the firewall after kills, over-long texts
// and settings that would leave the agent unable to work.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "apps/zarna/state/config_store_keys.h"
#include "runtime/configstore/config_store.h"
#include "runtime/configstore/sqlite_backend.h"
#include "tests/agent/agent_harness.h"
#include "tests/fixtures/cert_factory.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;
using ZarnaTesting::PostJson;

constexpr const char *kKms = "com.talvor.brim.trusted_infrastructure.kms.services";
constexpr const char *kAttestd = "com.talvor.brim.trusted_infrastructure.attestation.services";

std::string Request(const std::string &method, const std::string &input)
{
   return R"({"version":"1.1","id":"1","method":")" + method +
          R"(","params":{"context":{},"input":)" + input + "}}";
}

std::string RootPem()
{
   static const std::string pem = [] {
      auto root = ZarnaTesting::TestCert::SelfSigned(ZarnaTesting::CertSpec::Ca("state test root"));
      return nlohmann::json(root.Pem()).dump();
   }();
   return pem;
}

std::string CreateBody(const char *kind, const std::string &host, int port,
                       const std::string &group)
{
   return Request(std::string(kind) + ".create",
                  R"({"spec":{"address":{"hostname":)" + nlohmann::json(host).dump() +
                      R"(,"port":)" + std::to_string(port) + R"(},"trusted_CA":{"cert_chain":[)" +
                      RootPem() + R"(]},"group":)" + nlohmann::json(group).dump() + "}}");
}

// The new service id, or empty.
std::string Create(int port, const char *kind, const std::string &host, int servicePort,
                   const std::string &group)
{
   auto reply = PostJson(port, CreateBody(kind, host, servicePort, group));
   auto body = nlohmann::json::parse(reply.body, nullptr, false);
   return reply.status == 200 && body.is_object() && body.contains("result") &&
                  body["result"].is_string()
              ? body["result"].get<std::string>()
              : std::string();
}

bool Delete(int port, const char *kind, const std::string &id)
{
   auto reply =
       PostJson(port, Request(std::string(kind) + ".delete", R"({"service":")" + id + R"("})"));
   return reply.status == 200 && reply.body.find("\"result\"") != std::string::npos;
}

// The hostnames of every configured service, as the agent lists them.
std::set<std::string> ListedHosts(int port)
{
   std::set<std::string> hosts;
   for (const char *kind : {kKms, kAttestd}) {
      auto reply = PostJson(port, Request(std::string(kind) + ".list", "{}"));
      auto body = nlohmann::json::parse(reply.body, nullptr, false);
      EXPECT_TRUE(body.is_object() && body.contains("result")) << reply.body;
      if (body.is_object() && body.contains("result") && body["result"].is_array()) {
         for (const auto &summary : body["result"]) {
            hosts.insert(summary["address"]["hostname"].get<std::string>());
         }
      }
   }
   return hosts;
}

struct FirewallFile {
   bool enabled = false;
   std::set<std::string> addresses;
};

FirewallFile ReadFirewall(const AgentHarness &h)
{
   FirewallFile result;
   std::ifstream in(h.Dir().File("firewall.json"));
   auto document = nlohmann::json::parse(in, nullptr, false);
   if (!document.is_object()) {
      return result;
   }
   const auto &ruleset = document["rulesets"]["trusted-infrastructure-zarna"];
   result.enabled = ruleset.value("enabled", false);
   for (const char *family : {"ipv4", "ipv6"}) {
      for (const auto &address : ruleset.value(family, nlohmann::json::array())) {
         result.addresses.insert(address.get<std::string>());
      }
   }
   return result;
}

// A second configuration for the same directory and store, on another port.
std::string SecondConfig(const AgentHarness &h, int port)
{
   std::ifstream in(h.Dir().File("config.xml"));
   std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   std::string tag = "<tcpPort>" + std::to_string(h.Port()) + "</tcpPort>";
   text.replace(text.find(tag), tag.size(), "<tcpPort>" + std::to_string(port) + "</tcpPort>");
   h.Dir().Write("config2.xml", text);
   return h.Dir().File("config2.xml");
}

TEST(AgentState, SecondAgentOnTheSameStoreExitsOneAndTakesNothingFromTheFirst)
{
   AgentHarness h;
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   ASSERT_FALSE(Create(h.Port(), kKms, "127.0.0.9", 443, "g1").empty());
   FirewallFile before = ReadFirewall(h);
   ASSERT_TRUE(before.enabled);
   ASSERT_EQ(before.addresses, (std::set<std::string>{"127.0.0.9"}));

   ZarnaTesting::ChildProcess second(
       {ZarnaTesting::BuiltProgram("apps/zarna/zarna")},
       {{"ZARNA_CONFIG", SecondConfig(h, ZarnaTesting::FreeTcpPort())}}, h.Dir().Path());
   auto status = second.Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   EXPECT_NE(second.StderrText().find("Another zarna agent is running with the store"),
             std::string::npos)
       << second.StderrText();

   // Another store, the same directory: the socket is the first agent's.
   std::string otherStore = SecondConfig(h, ZarnaTesting::FreeTcpPort());
   {
      std::ifstream in(otherStore);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::string store = h.Dir().File("configstore.db");
      text.replace(text.find(store), store.size(), h.Dir().File("other-store.db"));
      h.Dir().Write("config2.xml", text);
   }
   ZarnaTesting::ChildProcess third({ZarnaTesting::BuiltProgram("apps/zarna/zarna")},
                                    {{"ZARNA_CONFIG", otherStore}}, h.Dir().Path());
   status = third.Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   EXPECT_NE(third.StderrText().find("Another zarna agent is running in this working directory"),
             std::string::npos)
       << third.StderrText();

   EXPECT_TRUE(std::filesystem::exists(h.SocketPath()));
   FirewallFile after = ReadFirewall(h);
   EXPECT_TRUE(after.enabled);
   EXPECT_EQ(after.addresses, before.addresses);
   EXPECT_EQ(ListedHosts(h.Port()), (std::set<std::string>{"127.0.0.9"}));
   EXPECT_EQ(ZarnaTesting::PostJsonUnix(h.SocketPath(), Request(std::string(kKms) + ".list", "{}"))
                 .status,
             200)
       << "the first agent's socket still serves";
   EXPECT_EQ(h.StopAgent(), 0);
   EXPECT_FALSE(std::filesystem::exists(h.SocketPath()));
   EXPECT_FALSE(ReadFirewall(h).enabled);
}

// Three clients create and delete back to back; a fourth lists and reads. The
// reader is answered within a second every time but the rarest (p99).
TEST(AgentState, ReadersAreAnsweredWhileWritersKeepTheStateBusy)
{
   AgentHarness h;
   h.WriteConfig("", "info");
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   std::string kept = Create(h.Port(), kAttestd, "127.0.0.2", 443, "kept");
   ASSERT_FALSE(kept.empty());

   std::atomic<bool> stop{false};
   std::atomic<int> writes{0};
   std::vector<std::thread> writers;
   for (int w = 0; w < 3; ++w) {
      writers.emplace_back([&, w] {
         for (int n = 0; !stop; ++n) {
            std::string group = "w" + std::to_string(w) + "-" + std::to_string(n);
            std::string id =
                Create(h.Port(), kKms, "127.0." + std::to_string(w + 1) + ".1", 1000 + n, group);
            if (!id.empty() && Delete(h.Port(), kKms, id)) {
               writes += 2;
            }
         }
      });
   }
   std::vector<double> latencies;
   auto end = std::chrono::steady_clock::now() + 8s;
   for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
      std::string body =
          i % 2 == 0 ? Request(std::string(kKms) + ".list", "{}")
                     : Request(std::string(kAttestd) + ".get", R"({"service":")" + kept + R"("})");
      auto start = std::chrono::steady_clock::now();
      auto reply = PostJson(h.Port(), body);
      latencies.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      EXPECT_EQ(reply.status, 200);
      EXPECT_NE(reply.body.find("\"result\""), std::string::npos) << reply.body;
   }
   stop = true;
   for (auto &t : writers) {
      t.join();
   }
   ASSERT_GE(latencies.size(), 20u);
   std::sort(latencies.begin(), latencies.end());
   double p99 = latencies[latencies.size() * 99 / 100];
   RecordProperty("reads", static_cast<int>(latencies.size()));
   RecordProperty("writes", writes.load());
   RecordProperty("p99_ms", static_cast<int>(p99 * 1000));
   EXPECT_LT(p99, 1.0) << latencies.size() << " reads, " << writes.load() << " writes";
   EXPECT_GT(writes.load(), 20) << "the writers must have kept the state busy";
   EXPECT_EQ(h.StopAgent(), 0);
}

// After every kill, whatever moment it hit, the restarted agent's firewall
// allows exactly the addresses of the services its store holds.
TEST(AgentState, FirewallEqualsTheStoreAfterEachKill)
{
   AgentHarness h;
   h.WriteConfig("", "info");
   ASSERT_TRUE(h.StartEmulator());
   for (int round = 0; round < 4; ++round) {
      ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
      EXPECT_EQ(ReadFirewall(h).addresses, ListedHosts(h.Port())) << "after restart " << round;
      // A stale leftover of the file backend is gone at start-up.
      std::atomic<bool> stop{false};
      std::vector<std::thread> clients;
      for (int c = 0; c < 3; ++c) {
         clients.emplace_back([&, c] {
            for (int n = 0; !stop; ++n) {
               std::string host = "127." + std::to_string(round + 1) + "." + std::to_string(c) +
                                  "." + std::to_string(n % 200 + 1);
               std::string id = Create(h.Port(), c == 0 ? kAttestd : kKms, host, 443,
                                       "r" + std::to_string(round) + "c" + std::to_string(c) + "n" +
                                           std::to_string(n));
               if (!id.empty() && n % 2 == 1) {
                  Delete(h.Port(), c == 0 ? kAttestd : kKms, id);
               }
            }
         });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300 + 150 * round));
      h.Agent().Signal(SIGKILL);
      h.Agent().Wait(10s);
      stop = true;
      for (auto &t : clients) {
         t.join();
      }
   }
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   std::set<std::string> listed = ListedHosts(h.Port());
   EXPECT_FALSE(listed.empty());
   EXPECT_EQ(ReadFirewall(h).addresses, listed);
   for (const auto &entry : std::filesystem::directory_iterator(h.Dir().Path())) {
      EXPECT_EQ(entry.path().filename().string().rfind("firewall.json.", 0), std::string::npos)
          << entry.path() << " left behind";
   }
   EXPECT_EQ(h.StopAgent(), 0);
}

// "localhost" and "127.0.0.1" are two names for one address: refusing or deleting
// a service under one name must not close the address for the other.
TEST(AgentState, TwoNamesForOneAddressKeepItOpen)
{
   AgentHarness h;
   h.WriteConfig("", "info");
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   std::string kms = Create(h.Port(), kKms, "localhost", 443, "kms-group");
   ASSERT_FALSE(kms.empty());
   ASSERT_EQ(ReadFirewall(h).addresses.count("127.0.0.1"), 1u);

   // Refused: the certificate list is not a chain.
   auto refused = PostJson(
       h.Port(), Request(std::string(kAttestd) + ".create",
                         R"({"spec":{"address":{"hostname":"127.0.0.1"},)"
                         R"("trusted_CA":{"cert_chain":["not a certificate"]},"group":"other"}})"));
   EXPECT_NE(refused.body.find("attestation.services.invalid_certificates"), std::string::npos)
       << refused.body;
   EXPECT_EQ(ReadFirewall(h).addresses.count("127.0.0.1"), 1u)
       << "a refused insert closed a configured host";

   std::string attestd = Create(h.Port(), kAttestd, "127.0.0.1", 443, "other");
   ASSERT_FALSE(attestd.empty());
   ASSERT_TRUE(Delete(h.Port(), kKms, kms));
   EXPECT_EQ(ReadFirewall(h).addresses.count("127.0.0.1"), 1u) << "still needed by 127.0.0.1";
   ASSERT_TRUE(Delete(h.Port(), kAttestd, attestd));
   EXPECT_TRUE(ReadFirewall(h).addresses.empty());
   EXPECT_EQ(h.StopAgent(), 0);
}

// 5,000 stored services: start-up and stop are one firewall change each, so both
// take a moment rather than the minutes that one change per host took. The
// bound only separates those two; bench/state measures.
TEST(AgentState, FiveThousandStoredServicesStartAndStopPromptly)
{
   // The store is filled on a memory file system: 5,000 synced commits on a
   // disk would take the test's time, not the agent's.
   if (access("/dev/shm", W_OK) != 0) {
      GTEST_SKIP() << "/dev/shm is not writable";
   }
   AgentHarness h;
   h.WriteConfig("", "info");
   std::string store = "/dev/shm/zarna-state-test-" + std::to_string(getpid()) + ".db";
   struct Cleanup {
      std::string store;
      ~Cleanup()
      {
         for (const char *suffix : {"", "-wal", "-shm", ".lock"}) {
            std::filesystem::remove(store + suffix);
         }
      }
   } cleanup{store};
   {
      namespace Keys = Com::Talvor::Brim::TrustedInfrastructure;
      using namespace BrimConfigStore;
      ConfigStore filler(SqliteBackend::Open(store), kGlobalNamespace);
      for (int i = 0; i < 5000; ++i) {
         ConfigStoreObject object(ConfigStoreObjectId(Keys::kKmsServicesKey, Keys::kGroup,
                                                      Keys::kComponent, GenerateInstanceId()));
         object.CreateSubObject(SubObjectId(Keys::kAddress))
             ->SetValue(Keys::kHostName,
                        "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
         object.CreateSubObject(SubObjectId(Keys::kTrustedCA))
             ->SetValue(Keys::kCertChain, std::vector<std::string>{});
         object.SetValue(Keys::kGroupId, "g" + std::to_string(i));
         filler.AddObject(object);
      }
   }
   std::string config;
   {
      std::ifstream in(h.Dir().File("config.xml"));
      config.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
   }
   std::string old = h.Dir().File("configstore.db");
   config.replace(config.find(old), old.size(), store);
   h.Dir().Write("config.xml", config);

   ASSERT_TRUE(h.StartEmulator());
   auto start = std::chrono::steady_clock::now();
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   double started = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
   FirewallFile open = ReadFirewall(h);
   EXPECT_TRUE(open.enabled);
   EXPECT_EQ(open.addresses.size(), 5000u);
   start = std::chrono::steady_clock::now();
   EXPECT_EQ(h.StopAgent(), 0);
   double stopped = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
   RecordProperty("start_ms", static_cast<int>(started * 1000));
   RecordProperty("stop_ms", static_cast<int>(stopped * 1000));
   EXPECT_LT(started, 15.0);
   EXPECT_LT(stopped, 15.0);
   FirewallFile closed = ReadFirewall(h);
   EXPECT_FALSE(closed.enabled);
   EXPECT_TRUE(closed.addresses.empty());
}

TEST(AgentState, FiveMegabyteHostnameIsRefusedWithoutFloodingTheLog)
{
   AgentHarness h;
   h.WriteConfig("", "info");
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   size_t logBefore = h.Agent().StderrText().size();
   auto reply =
       PostJson(h.Port(), CreateBody(kAttestd, std::string(5 * 1024 * 1024, 'h'), 443, "g1"));
   EXPECT_EQ(reply.status, 200);
   EXPECT_NE(reply.body.find("com.talvor.ruvo.std.errors.invalid_argument"), std::string::npos)
       << reply.body.substr(0, 500);
   EXPECT_LT(reply.body.size(), 2048u);
   std::this_thread::sleep_for(200ms);
   EXPECT_LT(h.Agent().StderrText().size() - logBefore, 1024u)
       << h.Agent().StderrText().substr(logBefore, 2048);
   EXPECT_TRUE(ListedHosts(h.Port()).empty());
   EXPECT_EQ(h.StopAgent(), 0);
}

// A store that cannot be read stops start-up with one report of it, not one per
// attempt to build the state.
TEST(AgentState, UnreadableStoreIsReportedOnceAndExitsOne)
{
   AgentHarness h;
   h.Dir().Write("configstore.db", std::string(8192, 'x'));
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   std::string log = h.Agent().StderrText();
   size_t first = log.find("ConfigStore exception during Populate(");
   ASSERT_NE(first, std::string::npos) << log;
   EXPECT_EQ(log.find("ConfigStore exception during Populate(", first + 1), std::string::npos)
       << log;
   EXPECT_FALSE(std::filesystem::exists(h.SocketPath()));
}

// Settings that would leave the agent up but unable to work stop it at once
// with a line naming the setting, before anything is touched.
TEST(AgentState, UnworkableSettingsExitOneNamingTheSetting)
{
   struct Case {
      std::string xml;
      std::string line;
   };
   for (const Case &c :
        {Case{"<tirel><threadPool><maxThreads>3</maxThreads></threadPool></tirel>",
              "tirel/threadPool/maxThreads is 3; at least 5 are needed"},
         Case{"<features><zarna>perhaps</zarna></features>",
              "The feature switch features/zarna has an invalid value. Exiting."}}) {
      AgentHarness h;
      h.WriteConfig(c.xml);
      ASSERT_TRUE(h.StartEmulator());
      ASSERT_TRUE(h.StartAgent(false));
      auto status = h.Agent().Wait(30s);
      ASSERT_TRUE(status.has_value()) << c.xml;
      EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1) << c.xml;
      EXPECT_NE(h.Agent().StderrText().find(c.line), std::string::npos) << h.Agent().StderrText();
      EXPECT_FALSE(std::filesystem::exists(h.SocketPath()));
      EXPECT_FALSE(std::filesystem::exists(h.Dir().File("configstore.db")));
   }

   AgentHarness h;
   std::string config;
   h.WriteConfig();
   {
      std::ifstream in(h.Dir().File("config.xml"));
      config.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
   }
   std::string tag = "<tcpPort>" + std::to_string(h.Port()) + "</tcpPort>";
   config.replace(config.find(tag), tag.size(), "<tcpPort>83426</tcpPort>");
   h.Dir().Write("config.xml", config);
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 1);
   EXPECT_NE(h.Agent().StderrText().find("api/tcpPort is 83426; it must be 1-65535. Exiting."),
             std::string::npos)
       << h.Agent().StderrText();
}

} // namespace
