// Killing the agent in the middle of a burst of inserts: after a restart the
// store loads, and every insert that was acknowledged is there.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "tests/agent/agent_harness.h"
#include "tests/fixtures/cert_factory.h"

namespace {

using namespace std::chrono_literals;

std::string JsonEscapePem(const std::string &pem)
{
   std::string out;
   for (char c : pem) {
      if (c == '\n') {
         out += "\\n";
      } else {
         out += c;
      }
   }
   return out;
}

TEST(AgentCrash, KilledDuringInsertBurstKeepsEveryAcknowledgedService)
{
   ZarnaTesting::AgentHarness h;
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   auto root = ZarnaTesting::TestCert::SelfSigned(ZarnaTesting::CertSpec::Ca("burst root"));
   std::string pem = JsonEscapePem(root.Pem());

   std::mutex lock;
   std::set<std::string> acknowledged; // guarded by lock
   std::atomic<int> next{0};
   std::atomic<bool> stop{false};
   const std::regex idPattern(R"re("result":"([^"]+)")re");
   auto worker = [&] {
      while (!stop) {
         int n = next++;
         std::string body =
            R"({"version":"1.1","id":"b)" + std::to_string(n) +
            R"(","method":"com.talvor.brim.trusted_infrastructure.kms.services.create","params":{"context":{},"input":{"spec":{"address":{"hostname":"127.0.0.1","port":)" +
            std::to_string(1000 + n) + R"(},"trusted_CA":{"cert_chain":[")" + pem +
            R"("]},"group":"g)" + std::to_string(n) + R"("}}}})";
         auto reply = ZarnaTesting::PostJson(h.Port(), body);
         std::smatch m;
         if (reply.status == 200 && std::regex_search(reply.body, m, idPattern)) {
            std::lock_guard<std::mutex> guard(lock);
            acknowledged.insert(m[1]);
         }
      }
   };
   std::vector<std::thread> threads;
   for (int i = 0; i < 3; ++i) {
      threads.emplace_back(worker);
   }
   // Let some inserts land, then kill without warning.
   for (int i = 0; i < 200; ++i) {
      std::this_thread::sleep_for(10ms);
      std::lock_guard<std::mutex> guard(lock);
      if (acknowledged.size() >= 20) {
         break;
      }
   }
   h.Agent().Signal(SIGKILL);
   h.Agent().Wait(10s);
   stop = true;
   for (auto &t : threads) {
      t.join();
   }
   ASSERT_GE(acknowledged.size(), 1u);
   RecordProperty("acknowledged", static_cast<int>(acknowledged.size()));
   std::cout << acknowledged.size() << " inserts acknowledged before the kill\n";

   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   auto listed = h.Zarnactl({"--tcp", "127.0.0.1:" + std::to_string(h.Port()), "--json",
                             "key-provider-services", "list"});
   ASSERT_EQ(listed.exitCode, 0) << listed.output;
   for (const auto &id : acknowledged) {
      EXPECT_NE(listed.output.find(id), std::string::npos) << "acknowledged " << id << " lost";
   }
   EXPECT_EQ(h.StopAgent(), 0);
}

} // namespace
