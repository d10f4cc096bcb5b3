// Checks on certificates, public keys, requests and their private keys.
// Each logs why it failed (level 110) and returns false.
#pragma once

#include <string>

namespace Ths::Common::SslUtils {

// True when the PEM certificate parses and now lies within its validity period.
bool CheckCertificateValidity(const std::string &certPem);

// The certificate's public key as PEM (SubjectPublicKeyInfo).
bool ExtractPublicKey(const std::string &certPem, std::string &publicKeyPem);
// True when the text is a PEM public key.
bool CheckPublicKey(const std::string &publicKeyPem);

// True when the private key belongs to the certificate's / the request's public key.
bool CertificateMatchesPrivateKey(const std::string &certPem, const std::string &privateKeyPem);
bool CsrMatchesPrivateKey(const std::string &csrPem, const std::string &privateKeyPem);

// True when both texts hold the same certificate / the same public key.
bool CompareCertificates(const std::string &firstPem, const std::string &secondPem);
bool ComparePublicKeys(const std::string &firstPem, const std::string &secondPem);

} // namespace Ths::Common::SslUtils
