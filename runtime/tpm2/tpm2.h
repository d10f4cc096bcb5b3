// The TPM 2.0 attestation library: presence test, endorsement key, and the TPM
// side of the attestation exchange (attest_protocol.h). Every command goes
// through one process-wide connection to the TPM named by the TCTI text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace AttestLib::Tpm2 {

inline constexpr const char *kDefaultTcti = "device:/dev/tpmrm0";

// The TCTI configuration of later connections ("tpm/tcti"); an open connection
// to another TPM is closed.
void SetTcti(const std::string &tcti);
std::string GetTcti();

// True when the TPM answers.
bool IsTpmAvailable();

// The endorsement key certificate (PEM, from its NV index) when the TPM holds
// one, else the endorsement key's public key (PEM). False when neither can be read.
bool GetEndorsementKey(std::string &key, std::string &certificate);

// Objects and sessions the TPM holds now (diagnostics: nothing should stay
// loaded beyond what live attestation states keep). False when the TPM cannot
// be asked.
bool CountLoadedHandles(size_t &transientObjects, size_t &sessions);

// The TPM side of one attestation exchange at a time. A state keeps the
// endorsement key and its attestation key loaded between exchanges; they are
// flushed when the state is destroyed and recreated when the TPM lost them.
class AttestState {
public:
   static std::shared_ptr<AttestState> Create();
   virtual ~AttestState() = default;
   // One step: a service context in, the answer out; false when the context is
   // malformed, out of turn, or the TPM refuses.
   virtual bool ProcessContext(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) = 0;
};

} // namespace AttestLib::Tpm2
