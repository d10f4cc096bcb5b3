// The running agent's management API, its persistence across restarts and its
// behaviour under load, misuse and stop, driven through zarnactl, raw HTTP and the
// kernel emulator.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/agent/agent_harness.h"
#include "tests/fixtures/cert_factory.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;

const char *kListAttestd =
   R"({"version":"1.1","id":"7","method":"com.talvor.brim.trusted_infrastructure.attestation.services.list","params":{"context":{},"input":{}}})";

class AgentApi : public ::testing::Test {
protected:
   void SetUp() override
   {
      ASSERT_TRUE(h.StartEmulator());
      auto root = ZarnaTesting::TestCert::SelfSigned(ZarnaTesting::CertSpec::Ca("test root"));
      caFile = h.Dir().File("ca.pem");
      h.Dir().Write("ca.pem", root.Pem());
   }

   std::vector<std::string> Tcp(std::vector<std::string> args)
   {
      std::vector<std::string> all{"--tcp", "127.0.0.1:" + std::to_string(h.Port())};
      all.insert(all.end(), args.begin(), args.end());
      return all;
   }

   AgentHarness h;
   std::string caFile;
};

TEST_F(AgentApi, ServicesCreatedOverTcpSurviveRestartInOrder)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   auto a = h.Zarnactl(Tcp({"attestation-services", "create", "--host", "localhost", "--port",
                            "8443", "--group", "g1", "--ca-file", caFile}));
   ASSERT_EQ(a.exitCode, 0) << a.output;
   auto k = h.Zarnactl(Tcp({"key-provider-services", "create", "--host", "127.0.0.2", "--group",
                            "g1", "--ca-file", caFile}));
   ASSERT_EQ(k.exitCode, 0) << k.output;
   auto a2 = h.Zarnactl(Tcp({"attestation-services", "create", "--host", "127.0.0.3",
                             "--group", "g2", "--ca-file", caFile}));
   ASSERT_EQ(a2.exitCode, 0) << a2.output;

   // A second service for a group is refused with the agent's message.
   auto dup = h.Zarnactl(Tcp({"attestation-services", "create", "--host", "127.0.0.4", "--group",
                              "g1", "--ca-file", caFile}));
   EXPECT_EQ(dup.exitCode, 1) << dup.output;

   auto before = h.Zarnactl(Tcp({"--json", "attestation-services", "list"}));
   ASSERT_EQ(before.exitCode, 0) << before.output;
   EXPECT_NE(before.output.find("localhost"), std::string::npos);
   EXPECT_NE(before.output.find("127.0.0.3"), std::string::npos);
   EXPECT_EQ(before.output.find("127.0.0.4"), std::string::npos);
   // The refused service's host did not stay open.
   std::ifstream fw0(h.Dir().File("firewall.json"));
   std::string fw0Text((std::istreambuf_iterator<char>(fw0)), std::istreambuf_iterator<char>());
   EXPECT_EQ(fw0Text.find("127.0.0.4"), std::string::npos) << fw0Text;

   ASSERT_EQ(h.StopAgent(), 0) << h.Agent().StderrText();
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();

   auto after = h.Zarnactl(Tcp({"--json", "attestation-services", "list"}));
   ASSERT_EQ(after.exitCode, 0) << after.output;
   EXPECT_EQ(after.output, before.output);
   auto kAfter = h.Zarnactl(Tcp({"key-provider-services", "list"}));
   EXPECT_NE(kAfter.output.find("127.0.0.2"), std::string::npos) << kAfter.output;

   // The store is a plain SQLite database.
   auto sqlite = h.RunProgram({"/usr/bin/sqlite3", h.Dir().File("configstore.db"), ".tables"});
   EXPECT_EQ(sqlite.exitCode, 0) << sqlite.output;

   // Deleting goes through as well and the firewall follows the hosts.
   auto id = h.Zarnactl(Tcp({"attestation-services", "create", "--host", "127.0.0.5", "--port",
                             "1", "--group", "g3", "--ca-file", caFile}));
   ASSERT_EQ(id.exitCode, 0) << id.output;
   std::string newId = id.output.substr(0, id.output.find_first_of("\r\n"));
   std::ifstream fw(h.Dir().File("firewall.json"));
   std::string fwText((std::istreambuf_iterator<char>(fw)), std::istreambuf_iterator<char>());
   EXPECT_NE(fwText.find("127.0.0.5"), std::string::npos) << fwText;
   auto del = h.Zarnactl(Tcp({"attestation-services", "delete", newId}));
   EXPECT_EQ(del.exitCode, 0) << del.output;
   std::ifstream fw2(h.Dir().File("firewall.json"));
   std::string fwText2((std::istreambuf_iterator<char>(fw2)), std::istreambuf_iterator<char>());
   EXPECT_EQ(fwText2.find("127.0.0.5"), std::string::npos) << fwText2;
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST_F(AgentApi, LocalSocketServesOnlyKeyOperations)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   auto viaSocket = h.Zarnactl({"--socket", h.SocketPath(), "attestation-services", "list"});
   EXPECT_EQ(viaSocket.exitCode, 1);
   auto reply = ZarnaTesting::PostJsonUnix(h.SocketPath(), kListAttestd);
   EXPECT_EQ(reply.status, 200);
   EXPECT_NE(reply.body.find("com.talvor.ruvo.std.errors.operation_not_found"), std::string::npos)
      << reply.body;
   EXPECT_EQ(h.StopAgent(), 0);
   EXPECT_FALSE(std::filesystem::exists(h.SocketPath())) << "socket file left behind";
}

TEST_F(AgentApi, MalformedAndSlowClientsDoNotStopServing)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   // A slow client holds a connection open without finishing its header.
   std::thread slow([&] { ZarnaTesting::SendRaw(h.Port(), "POST /api HTTP/1.1\r\nHost: x", 3s); });
   // Unparsable requests and absurd lengths end their own connection, unanswered.
   EXPECT_EQ(ZarnaTesting::SendRaw(h.Port(), "GARBAGE\r\n\r\n", 2s), "");
   EXPECT_EQ(ZarnaTesting::SendRaw(h.Port(),
                                   "POST /api HTTP/1.1\r\nContent-Type: application/json\r\n"
                                   "Content-Length: 99999999999999999999\r\n\r\n",
                                   2s),
             "");
   // No content type: nothing can handle it.
   std::string noType = ZarnaTesting::SendRaw(h.Port(), "POST /api HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", 2s);
   EXPECT_EQ(noType.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << noType;
   // Deep nesting is refused by the first pass, before any document is built.
   std::string deep(100000, '[');
   auto deepReply = ZarnaTesting::PostJson(h.Port(), deep);
   EXPECT_EQ(deepReply.status, 200);
   EXPECT_NE(deepReply.body.find(R"("name":"com.talvor.ruvo.std.errors.invalid_request")"), std::string::npos)
      << deepReply.body;
   EXPECT_NE(deepReply.body.find("nesting deeper than 64"), std::string::npos) << deepReply.body;
   auto ok = ZarnaTesting::PostJson(h.Port(), kListAttestd);
   EXPECT_EQ(ok.status, 200);
   EXPECT_NE(ok.body.find("\"result\""), std::string::npos) << ok.body;
   slow.join();
   EXPECT_TRUE(h.Agent().Running());
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST_F(AgentApi, SigintStopsWithExitZero)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   h.Agent().Signal(SIGINT);
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 0);
   EXPECT_FALSE(std::filesystem::exists(h.SocketPath()));
}

TEST_F(AgentApi, SigtermDuringLoadStopsInOrder)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   std::atomic<bool> stop{false};
   std::atomic<int> answered{0};
   std::vector<std::thread> clients;
   for (int i = 0; i < 4; ++i) {
      clients.emplace_back([&] {
         while (!stop) {
            if (ZarnaTesting::PostJson(h.Port(), kListAttestd).status == 200) {
               ++answered;
            }
         }
      });
   }
   std::this_thread::sleep_for(500ms);
   int code = h.StopAgent(30s);
   stop = true;
   for (auto &t : clients) {
      t.join();
   }
   EXPECT_EQ(code, 0) << h.Agent().StderrText();
   EXPECT_GT(answered.load(), 0);
}

TEST_F(AgentApi, KernelRequestIsAnswered)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   auto sent = h.EmulatorCommand({"send", "--locator", "some-locator", "--timeout", "20", "--json"});
   EXPECT_EQ(sent.exitCode, 0) << sent.output;
   EXPECT_NE(sent.output.find("0xBAD0003"), std::string::npos) << sent.output;
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST_F(AgentApi, EmulatorDyingLeavesTheApiServing)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   h.Emulator()->Signal(SIGKILL);
   h.Emulator()->Wait(5s);
   std::this_thread::sleep_for(500ms);
   auto ok = ZarnaTesting::PostJson(h.Port(), kListAttestd);
   EXPECT_EQ(ok.status, 200);
   EXPECT_TRUE(h.Agent().Running());
   EXPECT_EQ(h.StopAgent(), 0);
}

} // namespace
