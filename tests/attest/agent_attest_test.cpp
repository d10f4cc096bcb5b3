// The agent with a software TPM and the real attestd: a configured trust group
// is attested, the token refreshed, a lost TPM fails the refresh cleanly, a
// restarted one attests again, and nothing stays loaded in the TPM after stop.
#include <signal.h>

#include <regex>

#include <gtest/gtest.h>

#include "tests/agent/agent_harness.h"
#include "tests/attest/tpm_fixture.h"

namespace {

using namespace AttestTesting;
using namespace std::chrono_literals;

class AgentAttestTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      if (!HaveSwtpm()) {
         GTEST_SKIP() << "skipped: swtpm not installed (scripts/bootstrap)";
      }
      ASSERT_EQ(ManufacturedTpm::Get().error, "");
      ASSERT_TRUE(tpm.Start()) << tpm.Log();
      // Short-lived tokens, so that refreshes come every few seconds.
      ASSERT_TRUE(
          attestd.Start({"--ek-ca", tpm.EkCaBundle()}, {"--token-lifetime", "4", "--grant", "*"}))
          << attestd.Log();
      harness.WriteConfig("  <tpm><tcti>" + tpm.Tcti() +
                          "</tcti></tpm>\n"
                          "  <attestationDelaySec>1</attestationDelaySec>\n");
      harness.Dir().Write("attestd-ca.pem", attestd.TrustedCas()[0]);
      ASSERT_TRUE(harness.StartEmulator());
   }

   // One service per host name: the same attestd as "localhost" or "127.0.0.1".
   ZarnaTesting::AgentHarness::Run AddService(const std::string &group,
                                              const std::string &host = "localhost")
   {
      return harness.Zarnactl({"--tcp", "127.0.0.1:" + std::to_string(harness.Port()),
                               "attestation-services", "create", "--host", host, "--port",
                               std::to_string(attestd.Port()), "--group", group, "--ca-file",
                               harness.Dir().File("attestd-ca.pem")});
   }

   std::string TransientHandles()
   {
      auto run = harness.RunProgram({"/usr/bin/env", "TPM2TOOLS_TCTI=" + tpm.Tcti(),
                                     "/usr/bin/tpm2_getcap", "handles-transient"});
      return run.exitCode == 0 ? run.output : "error: " + run.output;
   }

   SwtpmInstance tpm;
   AttestdProcess attestd;
   ZarnaTesting::AgentHarness harness;
};

TEST_F(AgentAttestTest, AttestsRefreshesSurvivesALostTpmAndLeavesNothingLoaded)
{
   ASSERT_TRUE(harness.StartAgent()) << harness.Agent().StderrText();
   auto created = AddService("g1");
   ASSERT_EQ(created.exitCode, 0) << created.output;

   // The preemptive attestation after the change, then refreshes at each expiry.
   ASSERT_TRUE(harness.Agent().WaitForOutputCount("Attestation passed for group g1", 2, 30s))
       << harness.Agent().StderrText() << attestd.Log();
   EXPECT_NE(harness.Agent().StderrText().find("STATE: Total number of tokens: 1"),
             std::string::npos);
   const std::string log = harness.Agent().StderrText();
   EXPECT_TRUE(std::regex_search(log, std::regex("Token expires in [1-4] seconds")));
   // The token itself never reaches the log.
   EXPECT_EQ(log.find("eyJ"), std::string::npos);

   // The TPM goes away: the next refresh fails cleanly and the group has no token.
   tpm.Kill();
   ASSERT_TRUE(harness.Agent().WaitForOutputCount("Attestation failed for group g1", 1, 30s))
       << harness.Agent().StderrText();
   EXPECT_NE(harness.Agent().StderrText().find("No TPM2 device available"), std::string::npos);
   ASSERT_TRUE(harness.Agent().WaitForOutputCount("STATE: Total number of tokens: 0", 1, 10s));
   ASSERT_TRUE(harness.Agent().Running());

   // Back again: the next attestation (a preemptive one after another change) passes.
   ASSERT_TRUE(tpm.Start()) << tpm.Log();
   const size_t passedBefore =
       ZarnaTesting::CountOf(harness.Agent().StderrText(), "Attestation passed for group");
   ASSERT_EQ(AddService("g2", "127.0.0.1").exitCode, 0);
   ASSERT_TRUE(
       harness.Agent().WaitForOutputCount("Attestation passed for group", passedBefore + 1, 30s))
       << harness.Agent().StderrText();

   // The orderly stop releases what the pooled TPM state kept loaded.
   EXPECT_EQ(harness.StopAgent(), 0);
   EXPECT_EQ(TransientHandles(), "");

   // At start-up the cache is filled from the stored services.
   ASSERT_TRUE(harness.StartAgent()) << harness.Agent().StderrText();
   ASSERT_TRUE(harness.Agent().WaitForOutputCount("Startup: Added token from group", 1, 30s))
       << harness.Agent().StderrText();
   EXPECT_EQ(harness.StopAgent(), 0);
   EXPECT_EQ(TransientHandles(), "");
}

} // namespace
