// Pieces shared by the ssl utility sources; not part of the module's interface.
#pragma once

#include <string>

#include "apps/trusted-host-services/common/sslTypes.h"
#include "runtime/hostlib/log.h"

// Allocation failures of OpenSSL objects stop the process.
#define THS_SSL_VERIFY(cond)                                                                       \
   do {                                                                                            \
      if (!(cond)) {                                                                               \
         Panic("VERIFY %s:%d\n", "apps/trusted-host-services/common/sslUtils", __LINE__);          \
      }                                                                                            \
   } while (0)

namespace Ths::Common::SslUtils::Detail {

// An OpenSSL error code saying that a certificate is already in a store, in the
// packing of OpenSSL 1.0.x or of OpenSSL 3.
bool IsCertAlreadyInStoreError(unsigned long code);

// A read-only memory BIO over the text; null only for texts too large for OpenSSL.
BioPtr NewReadBio(const std::string &text);
// An empty, growable memory BIO.
BioPtr NewWriteBio();
std::string BioText(BIO *bio);

// Private keys and requests are read without a password prompt: an encrypted
// key is refused rather than blocking on a terminal.
EvpPkeyPtr PemToPrivateKey(const std::string &pem);
X509ReqPtr PemToRequest(const std::string &pem);

} // namespace Ths::Common::SslUtils::Detail
