// Start-up shared by the whole-system benchmarks: a software TPM and attestd,
// and the agent's trust group naming attestd and a key provider service.
#pragma once

#include <string>

#include "tests/agent/agent_harness.h"
#include "tests/attest/tpm_fixture.h"

namespace ZarnaBench {

// The benchmark's run time from argv[1] (default 10 s); false, after the usage
// line on stderr, when it is not between 1 and 600 seconds.
bool ReadSeconds(int argc, char **argv, const char *program, double &seconds);

// Starts swtpm and attestd granting `grant`; false, with why on stderr, when
// swtpm is missing or either does not start.
bool StartAttestation(AttestTesting::SwtpmInstance &tpm, AttestTesting::AttestdProcess &attestd,
                      const std::string &grant);

// Names attestd and the key provider service at zarndPort (certificate issued
// by zarndCaFile) as trust group "g1" of the running agent, through zarnactl;
// false, with why on stderr, when either is refused.
bool ConfigureTrustGroup(ZarnaTesting::AgentHarness &h,
                         const AttestTesting::AttestdProcess &attestd, int zarndPort,
                         const std::string &zarndCaFile);

} // namespace ZarnaBench
