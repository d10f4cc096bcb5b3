#include "apps/trusted-host-services/common/sslCertChecks.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "apps/trusted-host-services/common/sslInternal.h"
#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/log.h"

namespace Ths::Common::SslUtils {

namespace {

X509Ptr ParseCertificate(const std::string &certPem)
{
   X509Ptr cert = PemToX509(certPem);
   if (!cert) {
      Log_Level(110, "Invalid certificate. Expected PEM format string\n");
      ERR_clear_error();
   }
   return cert;
}

EvpPkeyPtr ParsePrivateKey(const std::string &privateKeyPem)
{
   EvpPkeyPtr key = Detail::PemToPrivateKey(privateKeyPem);
   if (!key) {
      Log_Level(110, "Invalid private key. Not PEM format\n");
      ERR_clear_error();
   }
   return key;
}

EvpPkeyPtr ParsePublicKey(const std::string &publicKeyPem)
{
   EvpPkeyPtr key = PemToPublicKey(publicKeyPem);
   if (!key) {
      Log_Level(110, "Invalid public key. Not PEM format\n");
      ERR_clear_error();
   }
   return key;
}

} // namespace

bool CheckCertificateValidity(const std::string &certPem)
{
   if (certPem.empty()) {
      Log_Level(110, "Invalid certificate. Empty string\n");
      return false;
   }
   X509Ptr cert = ParseCertificate(certPem);
   if (!cert) {
      return false;
   }
   const ASN1_TIME *notBefore = X509_get0_notBefore(cert.get());
   if (notBefore == nullptr || ASN1_TIME_check(notBefore) != 1) {
      Log_Level(110, "Certificate start date is in invalid time format\n");
      return false;
   }
   const ASN1_TIME *notAfter = X509_get0_notAfter(cert.get());
   if (notAfter == nullptr || ASN1_TIME_check(notAfter) != 1) {
      Log_Level(110, "Certificate end date is in invalid time format\n");
      return false;
   }
   // -1: earlier than now, 1: later than now, 0: could not compare.
   int startVsNow = X509_cmp_current_time(notBefore);
   int endVsNow = X509_cmp_current_time(notAfter);
   if (startVsNow == 0 || endVsNow == 0) {
      Log_Level(110, "Unable to compare the start/end time of certificate\n");
      return false;
   }
   if (startVsNow > 0 || endVsNow < 0) {
      Log_Level(110, "Certificate is not within its validity period\n");
      return false;
   }
   return true;
}

bool ExtractPublicKey(const std::string &certPem, std::string &publicKeyPem)
{
   X509Ptr cert = PemToX509(certPem);
   if (!cert) {
      Log_Level(110, "Invalid certificate. Not PEM format\n");
      ERR_clear_error();
      return false;
   }
   EVP_PKEY *key = X509_get0_pubkey(cert.get());
   BioPtr bio = Detail::NewWriteBio();
   if (key == nullptr || PEM_write_bio_PUBKEY(bio.get(), key) != 1) {
      Log_Level(110, "Unable to extract public key from certificate\n");
      ERR_clear_error();
      return false;
   }
   publicKeyPem = Detail::BioText(bio.get());
   return true;
}

bool CheckPublicKey(const std::string &publicKeyPem)
{
   if (publicKeyPem.empty()) {
      Log_Level(110, "Invalid public key. Empty string\n");
      return false;
   }
   return ParsePublicKey(publicKeyPem) != nullptr;
}

bool CertificateMatchesPrivateKey(const std::string &certPem, const std::string &privateKeyPem)
{
   X509Ptr cert = ParseCertificate(certPem);
   EvpPkeyPtr key = cert ? ParsePrivateKey(privateKeyPem) : nullptr;
   if (!key) {
      return false;
   }
   if (X509_check_private_key(cert.get(), key.get()) != 1) {
      LogSslError("Unable to verify the certificate with the given private key");
      return false;
   }
   return true;
}

bool CsrMatchesPrivateKey(const std::string &csrPem, const std::string &privateKeyPem)
{
   X509ReqPtr request = Detail::PemToRequest(csrPem);
   if (!request) {
      Log_Level(110, "Invalid CSR. Not PEM format\n");
      ERR_clear_error();
      return false;
   }
   EvpPkeyPtr key = ParsePrivateKey(privateKeyPem);
   if (!key) {
      return false;
   }
   if (X509_REQ_check_private_key(request.get(), key.get()) != 1) {
      LogSslError("Unable to verify the CSR with the given private key");
      return false;
   }
   return true;
}

bool CompareCertificates(const std::string &firstPem, const std::string &secondPem)
{
   X509Ptr first = ParseCertificate(firstPem);
   X509Ptr second = first ? ParseCertificate(secondPem) : nullptr;
   if (!second) {
      return false;
   }
   int result = X509_cmp(first.get(), second.get());
   if (result != 0) {
      Log_Level(110, "The certificates did not match: %d\n", result);
      return false;
   }
   return true;
}

bool ComparePublicKeys(const std::string &firstPem, const std::string &secondPem)
{
   EvpPkeyPtr first = ParsePublicKey(firstPem);
   EvpPkeyPtr second = first ? ParsePublicKey(secondPem) : nullptr;
   if (!second) {
      return false;
   }
   // 1 equal, 0 different, -1 different key types, -2 not comparable.
   int result = EVP_PKEY_eq(first.get(), second.get());
   if (result != 1) {
      Log_Level(110, "The public key did not match: %d\n", result);
      return false;
   }
   return true;
}

} // namespace Ths::Common::SslUtils
