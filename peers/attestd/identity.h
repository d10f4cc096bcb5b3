// Whose TPM is asking: an endorsement key certificate that chains to one of the
// trusted EK CAs, or a bare endorsement public key on the allow-list.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "runtime/tpm2/tpm_keys.h"

namespace Attestd {

struct EkIdentity {
   std::shared_ptr<EVP_PKEY> key;
   std::string digest; // SHA-256 of the DER public key, hex: the token's subject
};

class IdentityVerifier {
public:
   // PEM files of trusted EK CAs (roots and intermediates), and hex digests of
   // allowed bare keys. False with the reason when a file cannot be read.
   bool Load(const std::vector<std::string> &caFiles, const std::set<std::string> &allowedDigests,
             std::string &error);
   ~IdentityVerifier();

   bool Verify(const std::string *certificatePem, const std::string *publicKeyPem, EkIdentity &out,
               std::string &error) const;

private:
   X509_STORE *mStore = nullptr;
   std::set<std::string> mAllowed;
};

} // namespace Attestd
