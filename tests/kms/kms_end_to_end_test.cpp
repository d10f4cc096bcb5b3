#include <gtest/gtest.h>

#include <regex>

#include "tests/agent/agent_harness.h"
#include "tests/attest/tpm_fixture.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/kms/zarnd_process.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;
using ZarnaTesting::ChildProcess;
using ZarnaTesting::ZarndProcess;

std::string Field(const std::string &output, const std::string &name)
{
   std::smatch m;
   if (std::regex_search(output, m, std::regex(name + ": ([^\n]+)"))) {
      return m[1];
   }
   return "";
}

class KmsEndToEnd : public ::testing::Test {
protected:
   void SetUp() override
   {
      if (!AttestTesting::HaveSwtpm()) {
         GTEST_SKIP() << "skipped: swtpm not installed (scripts/bootstrap)";
      }
      ASSERT_TRUE(tpm.Start()) << tpm.Log();
      // One attestation service per group: a service's address belongs to one group.
      for (auto *a : {&attestd, &attestd2}) {
         ASSERT_TRUE(a->Start({"--ek-ca", tpm.EkCaBundle()}, {"--grant", "*"})) << a->Log();
         ZarnaTesting::WriteTextFile(a->Dir().File("ca-chain.pem"),
                                     ZarnaTesting::JoinPems(a->TrustedCas()));
      }
      h.WriteConfig("<tpm><tcti>" + tpm.Tcti() +
                        "</tcti></tpm><attestationDelaySec>3600</attestationDelaySec>\n",
                    "trivia");
      ASSERT_TRUE(h.StartEmulator());
      ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   }
   void TearDown() override
   {
      if (IsSkipped()) {
         return;
      }
      // Nothing of a key or a token in any line of the agent's most verbose log.
      std::string log = h.Agent().StderrText();
      for (const auto &key : keys) {
         EXPECT_EQ(log.find(key), std::string::npos) << "key in the log";
      }
      EXPECT_EQ(log.find("eyJ"), std::string::npos) << "token in the log";
      EXPECT_EQ(h.StopAgent(), 0);
   }
   void AddGroup(const std::string &group, const AttestTesting::AttestdProcess &service,
                 const ZarndProcess &zarnd)
   {
      auto a =
          h.Zarnactl({"--tcp", "127.0.0.1:" + std::to_string(h.Port()), "attestation-services",
                      "create", "--host", "127.0.0.1", "--port", std::to_string(service.Port()),
                      "--group", group, "--ca-file", service.Dir().File("ca-chain.pem")});
      ASSERT_EQ(a.exitCode, 0) << a.output;
      auto k =
          h.Zarnactl({"--tcp", "127.0.0.1:" + std::to_string(h.Port()), "key-provider-services",
                      "create", "--host", "127.0.0.1", "--port", std::to_string(zarnd.Port()),
                      "--group", group, "--ca-file", zarnd.CaFile()});
      ASSERT_EQ(k.exitCode, 0) << k.output;
   }
   AgentHarness::Run Key(std::vector<std::string> args)
   {
      args.insert(args.begin(), {"--socket", h.SocketPath(), "key"});
      auto run = h.Zarnactl(args);
      if (std::string key = Field(run.output, "key"); !key.empty()) {
         keys.push_back(key);
      }
      return run;
   }
   AgentHarness::Run Providers(std::vector<std::string> args)
   {
      args.insert(args.begin(),
                  {"--tcp", "127.0.0.1:" + std::to_string(h.Port()), "providers", "list"});
      return h.Zarnactl(args);
   }

   AttestTesting::SwtpmInstance tpm;
   AttestTesting::AttestdProcess attestd;
   AttestTesting::AttestdProcess attestd2;
   AgentHarness h;
   std::vector<std::string> keys;
};

TEST_F(KmsEndToEnd, GenerateThenDecryptReturnsTheKeyAndARefusedTokenMovesToTheNextGroup)
{
   ZarndProcess refusing("refusing", attestd.SigningPublicKeyFile(),
                         {"--verbose", "--provider", "disk", "--fault", "unauthenticated"});
   ZarndProcess serving("serving", attestd2.SigningPublicKeyFile(),
                        {"--verbose", "--provider", "disk", "--provider", "tape:degraded",
                         "--provider", "cold:unavailable"});
   ASSERT_NE(refusing.Port(), 0);
   ASSERT_NE(serving.Port(), 0);

   // Only the refusing group: the host is reported as not attested, and the
   // group keeps its token (nothing else to try).
   AddGroup("first", attestd, refusing);
   auto refused = Key({"generate", "--provider", "disk", "--bits", "256", "--show-key"});
   EXPECT_EQ(refused.exitCode, 1) << refused.output;
   EXPECT_NE(refused.output.find("host is not attested"), std::string::npos) << refused.output;

   // With a second group the same call goes through it, and the first group's
   // token is dropped on the way.
   AddGroup("second", attestd2, serving);
   auto generated = Key({"generate", "--provider", "disk", "--bits", "256", "--show-key"});
   ASSERT_EQ(generated.exitCode, 0) << generated.output << h.Agent().StderrText();
   std::string key = Field(generated.output, "key");
   std::string wrapped = Field(generated.output, "ciphertext");
   ASSERT_EQ(key.size(), 44u) << generated.output;
   EXPECT_NE(h.Agent().StderrText().find("Retry: Deleting the token for group first"),
             std::string::npos);

   auto refusals = [&] { return ZarnaTesting::CountOf(refusing.Log(), "injected failure"); };
   size_t refusedSoFar = refusals();
   auto decrypted = Key({"decrypt", "--provider", "disk", "--wrapped", wrapped, "--show-key"});
   ASSERT_EQ(decrypted.exitCode, 0) << decrypted.output;
   EXPECT_EQ(Field(decrypted.output, "key"), key);
   EXPECT_NE(serving.Log().find("Unwrapped a key for provider disk"), std::string::npos);

   // Providers of the serving group, with both filters.
   auto available = Providers({"--available", "true"});
   ASSERT_EQ(available.exitCode, 0) << available.output;
   EXPECT_NE(available.output.find("disk  yes"), std::string::npos) << available.output;
   EXPECT_NE(available.output.find("tape  yes"), std::string::npos) << available.output;
   EXPECT_EQ(available.output.find("cold"), std::string::npos) << available.output;
   auto cold = Providers({"--provider", "cold", "--provider", "tape", "--available", "false"});
   ASSERT_EQ(cold.exitCode, 0) << cold.output;
   EXPECT_NE(cold.output.find("cold  no"), std::string::npos) << cold.output;
   EXPECT_EQ(cold.output.find("tape"), std::string::npos) << cold.output;
   // The first group holds no token any more, so nothing went its way since.
   EXPECT_EQ(refusals(), refusedSoFar);
}

// Key operations wait on their key provider. While more of them wait on a slow one
// than the agent has I/O workers, the rest of the API still answers, and each of
// them gets its key in the end.
TEST_F(KmsEndToEnd, KeyOperationsWaitingOnASlowProviderDoNotHoldUpTheApi)
{
   ZarndProcess slow("slow", attestd.SigningPublicKeyFile(),
                     {"--provider", "disk", "--fault", "delay:6000"});
   ASSERT_NE(slow.Port(), 0);
   AddGroup("slow", attestd, slow);
   std::vector<std::unique_ptr<ChildProcess>> waiting;
   for (int i = 0; i < 4; ++i) {
      waiting.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
          ZarnaTesting::BuiltProgram("tools/zarnactl/zarnactl"), "--socket", h.SocketPath(), "key",
          "generate", "--provider", "disk", "--bits", "256"}));
   }
   ASSERT_TRUE(h.Agent().WaitForOutputCount("Connecting to zarnd", waiting.size(), 20s))
       << h.Agent().StderrText();
   auto listed = h.Zarnactl(
       {"--tcp", "127.0.0.1:" + std::to_string(h.Port()), "attestation-services", "list"});
   EXPECT_EQ(listed.exitCode, 0) << listed.output;
   for (auto &call : waiting) {
      EXPECT_TRUE(call->Running()) << "a key operation ended before the listing was answered";
   }
   for (auto &call : waiting) {
      std::optional<int> status = call->Wait(30s);
      ASSERT_TRUE(status.has_value());
      EXPECT_EQ(ZarnaTesting::ExitCodeOf(*status), 0) << call->StderrText();
   }
}

} // namespace
