#include "bench/common/system.h"

#include <cstdio>
#include <cstdlib>

namespace ZarnaBench {

bool ReadSeconds(int argc, char **argv, const char *program, double &seconds)
{
   seconds = argc > 1 ? std::atof(argv[1]) : 10;
   if (!(seconds >= 1 && seconds <= 600)) {
      fprintf(stderr, "usage: %s [SECONDS between 1 and 600]\n", program);
      return false;
   }
   return true;
}

bool StartAttestation(AttestTesting::SwtpmInstance &tpm, AttestTesting::AttestdProcess &attestd,
                      const std::string &grant)
{
   if (!AttestTesting::HaveSwtpm()) {
      fprintf(stderr, "swtpm is not installed (scripts/bootstrap)\n");
      return false;
   }
   if (!tpm.Start() || !attestd.Start({"--ek-ca", tpm.EkCaBundle()}, {"--grant", grant})) {
      fprintf(stderr, "swtpm or attestd did not start\n%s%s", tpm.Log().c_str(),
              attestd.Log().c_str());
      return false;
   }
   return true;
}

bool ConfigureTrustGroup(ZarnaTesting::AgentHarness &h,
                         const AttestTesting::AttestdProcess &attestd, int zarndPort,
                         const std::string &zarndCaFile)
{
   const std::string attestdCa = h.Dir().File("attestd-ca.pem");
   ZarnaTesting::WriteTextFile(attestdCa, ZarnaTesting::JoinPems(attestd.TrustedCas()));
   const std::string tcp = "127.0.0.1:" + std::to_string(h.Port());
   if (h.Zarnactl({"--tcp", tcp, "attestation-services", "create", "--host", "127.0.0.1", "--port",
                   std::to_string(attestd.Port()), "--group", "g1", "--ca-file", attestdCa})
               .exitCode != 0 ||
       h.Zarnactl({"--tcp", tcp, "key-provider-services", "create", "--host", "127.0.0.1", "--port",
                   std::to_string(zarndPort), "--group", "g1", "--ca-file", zarndCaFile})
               .exitCode != 0) {
      fprintf(stderr, "the trust group could not be configured\n");
      return false;
   }
   return true;
}

} // namespace ZarnaBench
