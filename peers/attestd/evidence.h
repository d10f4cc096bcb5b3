// What attestd checks of the agent's messages: the attestation key's public
// area, the endorsement key identity, and the quote with its PCR values.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <tss2/tss2_tpm2_types.h>

#include "runtime/tpm2/tpm_keys.h"

namespace Attestd {

using Bytes = std::vector<uint8_t>;

// A restricted, TPM-resident ECDSA P-256 signing key; its name out.
bool CheckAkPublic(const Bytes &marshalled, TPMT_PUBLIC &out, Bytes &name, std::string &error);

// The SHA-256 selection of the given PCRs.
TPML_PCR_SELECTION Sha256Selection(const std::set<unsigned> &pcrs);
Bytes MarshalSelection(const TPML_PCR_SELECTION &selection);

struct QuoteCheck {
   const TPMT_PUBLIC *ak = nullptr;
   const Bytes *nonce = nullptr;
   const TPML_PCR_SELECTION *selection = nullptr;
   const Bytes *attest = nullptr;    // TPM2B_ATTEST
   const Bytes *signature = nullptr; // TPMT_SIGNATURE
   const Bytes *pcrValues = nullptr; // TPM2B_DIGEST each
};

// Signature by the AK, the nonce, the selection and the PCR digest over the
// reported values. The values by PCR index out (SHA-256 bank).
bool VerifyQuote(const QuoteCheck &check, std::map<unsigned, Bytes> &pcrs, std::string &error);

// Expected PCR values: lines "<index> <hex digest>", '#' starts a comment.
bool ParsePcrPolicy(const std::string &text, std::map<unsigned, Bytes> &policy, std::string &error);
bool CheckPcrPolicy(const std::map<unsigned, Bytes> &policy, const std::map<unsigned, Bytes> &pcrs,
                    std::string &error);

std::string Hex(const Bytes &bytes);
bool FromHex(const std::string &text, Bytes &out);

} // namespace Attestd
