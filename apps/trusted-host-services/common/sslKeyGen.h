// Key, self-signed certificate and signing request generation.
// Each logs why it failed (level 110) and returns false.
#pragma once

#include <string>

#include "apps/trusted-host-services/common/sslTypes.h"

namespace Ths::Common::SslUtils {

// Address put in a request's subject alternative name when the caller names none.
inline constexpr char kDefaultCsrEmail[] = "ca@localhost";

// A new 4096-bit RSA key with public exponent 65537. Slow (seconds).
bool GenerateRsaKey(EvpPkeyPtr &key);
// The private key as unencrypted PEM (PKCS#8).
bool PrivateKeyToPem(EVP_PKEY *key, std::string &privateKeyPem);

// A ten-year X.509 v3 certificate for the key, issued by itself to the fixed
// "localhost" subject, signed with SHA-256.
bool GenerateSelfSignedCertificate(EVP_PKEY *key, std::string &certPem);

// A signing request for a new 4096-bit RSA key, with the fixed subject and the
// requesting authority's e-mail address as subject alternative name.
bool GenerateCsr(std::string &csrPem, std::string &privateKeyPem,
                 const std::string &caEmail = kDefaultCsrEmail);
// The same for a key the caller already has.
bool GenerateCsrForKey(EVP_PKEY *key, const std::string &caEmail, std::string &csrPem);

} // namespace Ths::Common::SslUtils
