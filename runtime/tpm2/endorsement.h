// The endorsement key: the persistent one when the TPM was provisioned with it,
// else the primary key of the standard RSA 2048 template; and its certificate.
#pragma once

#include <cstdint>
#include <vector>

#include <tss2/tss2_esys.h>

#include "runtime/tpm2/tpm_connection.h"

namespace AttestLib::Tpm2 {

inline constexpr TPM2_HANDLE kEkPersistentHandle = 0x81010001;
inline constexpr TPM2_HANDLE kEkCertRsaIndex = 0x01c00002;

struct LoadedKey {
   ESYS_TR handle = ESYS_TR_NONE;
   bool transient = false; // flushed when released; a persistent one is only closed
   TPM2B_PUBLIC pub{};
};

// Requires the connection guard.
bool LoadEndorsementKey(TpmConnection &connection, LoadedKey &ek);
// Flushes (transient) or closes (persistent) the handle in ctx (null: the
// connection that held it is gone, only forget it); requires the guard.
void ReleaseKey(ESYS_CONTEXT *ctx, LoadedKey &key);
// A transient primary key of `tmpl` under the endorsement hierarchy, through
// ctx (a context of the connection); `what` names the call in the error log.
// Requires the connection guard.
bool CreateEndorsementPrimary(TpmConnection &connection, ESYS_CONTEXT *ctx,
                              const TPM2B_PUBLIC &tmpl, const char *what, LoadedKey &key);
// The endorsement key certificate (DER) of the RSA key; false when none.
bool ReadEndorsementCertificate(TpmConnection &connection, std::vector<uint8_t> &der);

// The attestation key: a restricted ECDSA P-256 signing key under the endorsement
// hierarchy. It can sign only what the TPM itself produced (quotes) and never
// leaves the TPM; fresh entropy in the template makes each one a new key.
TPM2B_PUBLIC AttestationKeyTemplate();

} // namespace AttestLib::Tpm2
