// MakeCredential in software: wraps a secret so that only the TPM holding the
// endorsement key can recover it, and only for the object with the given name
// (the attestation key).
#pragma once

#include <string>
#include <vector>

#include <openssl/evp.h>
#include <tss2/tss2_tpm2_types.h>

namespace Attestd {

using Bytes = std::vector<uint8_t>;

// KDFa with SHA-256 (counter mode over HMAC); `bits` a multiple of 8.
Bytes KdfA(const Bytes &key, const std::string &label, const Bytes &contextU, const Bytes &contextV,
           size_t bits);

// For an RSA 2048 endorsement key of the standard template (SHA-256 names,
// AES-128-CFB protection). False with the reason on failure.
bool MakeCredential(EVP_PKEY *ek, const Bytes &objectName, const Bytes &secret,
                    TPM2B_ID_OBJECT &blob, TPM2B_ENCRYPTED_SECRET &encryptedSeed,
                    std::string &error);

} // namespace Attestd
