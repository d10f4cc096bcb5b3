// TLS contexts: the client's (TLS 1.2 only, fixed ciphers and curves, trusted CAs
// from PEM text) and the server's (certificate chain and key from files, issuing
// session tickets under rotating keys).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

namespace Ruvo::Security::Openssl {

inline constexpr const char *kCipherList = "ECDHE+AESGCM:RSA+AESGCM:ECDHE+AES:RSA+AES";
inline constexpr const char *kCurves = "prime256v1:secp384r1:secp521r1";

// The same CA texts give the same (shared, never changed) context, kept for the
// last 64 sets. Null when a CA cannot be added to the store (logged). PEM strings that cannot be
// read as a memory buffer are skipped; every certificate of the others is trusted.
std::shared_ptr<boost::asio::ssl::context> CreateClientTlsContext(const std::vector<std::string> &trustedCas);

// The digest of the trusted CA texts a client context was built with, under which
// its sessions are kept for resumption; "" (no resumption) for any other context.
std::string ClientTrustDigest(SSL_CTX *ctx);

// Null (and the reason in error) when the files cannot be loaded or do not match.
std::shared_ptr<boost::asio::ssl::context> CreateServerTlsContext(const std::string &certChainFile,
                                                                  const std::string &privateKeyFile,
                                                                  std::string &error);

// Makes a server context refuse every resumption (no tickets issued, no session
// ids kept), so that each client pays a full handshake: a baseline for measuring.
void RefuseResumption(boost::asio::ssl::context &server);

// Text of the oldest pending OpenSSL error, or "" when there is none.
std::string PendingOpensslError();

} // namespace Ruvo::Security::Openssl
