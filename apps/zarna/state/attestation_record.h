// The outcome of the latest attestation of each group, for the status report.
// Process-wide; written by the attestation path, read by the API.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Zarna {

struct AttestationOutcome {
   bool succeeded = false;
   int64_t timeSec = 0; // wall clock, seconds since the epoch
};

void RecordAttestationOutcome(const std::string &group, bool succeeded);
std::optional<AttestationOutcome> LastAttestationOutcome(const std::string &group);
// For tests.
void ClearAttestationOutcomes();

} // namespace Zarna
