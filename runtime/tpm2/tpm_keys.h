// TPM public areas as OpenSSL keys and PEM text, and object names: what both
// the agent and an attestation service compute from a TPM2B_PUBLIC.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <tss2/tss2_tpm2_types.h>

namespace AttestLib::Tpm2 {

struct EvpKeyFree {
   void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using EvpKey = std::unique_ptr<EVP_PKEY, EvpKeyFree>;

// RSA or NIST P-256/P-384 public keys; null for anything else.
EvpKey PublicToEvp(const TPMT_PUBLIC &pub);
// SubjectPublicKeyInfo PEM; empty on failure.
std::string EvpToPem(EVP_PKEY *key);
// DER SubjectPublicKeyInfo; empty on failure.
std::vector<uint8_t> EvpToDer(EVP_PKEY *key);
// nameAlg (SHA-256 only) followed by the digest of the marshalled public area.
bool ObjectName(const TPMT_PUBLIC &pub, std::vector<uint8_t> &name);
// DER certificate to PEM; empty when it does not parse.
std::string CertificateDerToPem(const std::vector<uint8_t> &der);

} // namespace AttestLib::Tpm2
