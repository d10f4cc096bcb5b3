// Certificate canonicalisation, trust chain checks and OpenSSL error logging,
// shared by the trusted-host services.
#pragma once

#include <string>
#include <vector>

#include "apps/trusted-host-services/common/sslTypes.h"

namespace Ths::Common::SslUtils {

// Logs the message (level 110), then every pending OpenSSL error as "SSL Error: ...",
// emptying the calling thread's error queue.
void LogSslError(const std::string &message);

// PEM text to a certificate; null when the text holds no certificate.
X509Ptr PemToX509(const std::string &pem);
// PEM text to a public key (SubjectPublicKeyInfo); null when it holds none.
EvpPkeyPtr PemToPublicKey(const std::string &pem);

// Rewrites a PEM certificate into the canonical text: begin marker, "\n", the
// whitespace-free body in lines of 64 characters each ending in "\n", end marker
// with no line end after it. Text without markers gets them. The body is not
// checked to be base64. On false the certificate is left whitespace-free and
// possibly partly changed: callers keep their own copy.
bool StandardizeCertificate(const std::string &beginMarker, const std::string &endMarker,
                            std::string &certificate);

// Checks that the PEM texts form a chain, root first: entry 0 is issued by one of
// trustedCa (or, when allowSelfSignedFirst, is self-signed) and every later entry
// is issued by an entry before it. duplicateFound reports a certificate that was
// already trusted (a repeated CA text or chain entry); duplicates are not failures.
// An empty chain is valid.
bool ValidateCertChain(const std::vector<std::string> &chain,
                       const std::vector<std::string> &trustedCa, bool allowSelfSignedFirst,
                       bool &duplicateFound);
// The agent's form: no extra trust anchors, a self-signed root first.
bool ValidateCertChain(const std::vector<std::string> &chain);

} // namespace Ths::Common::SslUtils
