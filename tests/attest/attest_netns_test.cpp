// The attestation client's connections carry the agent's socket mark: with the
// firewall ruleset enabled, an attestation service outside the allow-list is
// unreachable, and reachable once its address is allowed. Runs in private
// network namespaces (the service in a namespace of its own behind a veth pair).
#include <gtest/gtest.h>

#include "apps/zarna/attest/attest_client.h"
#include "runtime/hostctl/command_runner.h"
#include "runtime/hostctl/nftables_backend.h"
#include "runtime/hostctl/system.h"
#include "runtime/hostctl/testing/private_namespace.h"
#include "runtime/tpm2/tpm2.h"
#include "tests/attest/tpm_fixture.h"

namespace {

using namespace AttestTesting;

void Command(const std::vector<std::string> &argv)
{
   auto result = HostCtl::Lib::SpawnCommandRunner().Run(argv, "");
   ASSERT_EQ(result.exitCode, 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << ": "
                                 << result.err;
}

TEST(AttestNetnsTest, ServiceOutsideTheAllowListIsUnreachable)
{
   if (!HaveSwtpm() || access("/usr/sbin/nft", X_OK) != 0 || access("/usr/sbin/ip", X_OK) != 0) {
      GTEST_SKIP() << "skipped: swtpm, nft or ip not installed (scripts/bootstrap)";
   }
   ZARNA_RUN_IN_PRIVATE_NAMESPACES(CLONE_NEWNET | CLONE_NEWNS);
   ASSERT_EQ(ManufacturedTpm::Get().error, "");

   // The name file lives in the host's /run even though its mount does not: a
   // name of this run's own, removed at the end.
   const std::string peer = "zarna-peer-" + std::to_string(getpid());
   struct RemoveNamespace {
      std::string name;
      ~RemoveNamespace()
      {
         HostCtl::Lib::SpawnCommandRunner().Run({"/usr/sbin/ip", "netns", "del", name}, "");
      }
   } removeNamespace{peer};
   Command({"/usr/sbin/ip", "netns", "add", peer});
   Command(
       {"/usr/sbin/ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1", "netns", peer});
   Command({"/usr/sbin/ip", "addr", "add", "10.9.0.1/24", "dev", "v0"});
   Command({"/usr/sbin/ip", "link", "set", "v0", "up"});
   Command({"/usr/sbin/ip", "-n", peer, "addr", "add", "10.9.0.8/24", "dev", "v1"});
   Command({"/usr/sbin/ip", "-n", peer, "link", "set", "v1", "up"});
   Command({"/usr/sbin/ip", "-n", peer, "link", "set", "lo", "up"});

   SwtpmInstance tpm;
   ASSERT_TRUE(tpm.Start()) << tpm.Log();
   AttestLib::Tpm2::SetTcti(tpm.Tcti());
   AttestdProcess attestd("10.9.0.8", {"/usr/sbin/ip", "netns", "exec", peer});
   ASSERT_TRUE(attestd.Start({"--ek-ca", tpm.EkCaBundle()})) << attestd.Log();

   auto backend = std::make_shared<HykCtl::System::NftablesBackend>();
   HykCtl::System::ModuleImpl("brimfw", backend).Load("", false);
   auto ruleset = HykCtl::System::SystemInfoImpl(backend).GetFirewallRulesetById(
       "trusted-infrastructure-zarna");
   ruleset->AddAllowedIp("10.9.0.7");
   ruleset->Enable();

   auto state = AttestLib::Tpm2::AttestState::Create();
   auto attempt = [&] {
      std::string token;
      Ruvo::Data::ErrorValuePtr error;
      Zarna::AttestClient client("10.9.0.8", std::to_string(attestd.Port()), attestd.TrustedCas(),
                                 state);
      client.GetKmsAuthJwt(token, error);
      return error && !error->messages().empty() ? error->messages()[0].GetId()
             : token.empty()                     ? "?"
                                                 : "token";
   };
   EXPECT_EQ(attempt(), "ruvo.connect.failed");
   EXPECT_EQ(attestd.Log().find("passed"), std::string::npos);

   ruleset->AddAllowedIp("10.9.0.8");
   EXPECT_EQ(attempt(), "token") << attestd.Log();

   ruleset->Disable();
   state.reset();
   attestd.Stop();
   AttestLib::Tpm2::SetTcti(AttestLib::Tpm2::kDefaultTcti);
}

} // namespace
