#include "apps/trusted-host-services/common/sslCertChecks.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include "apps/trusted-host-services/common/sslKeyGen.h"
#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "tests/fixtures/cert_factory.h"

namespace {

using namespace Ths::Common::SslUtils;
using HostlibTesting::LogCapture;
using ZarnaTesting::CertSpec;
using ZarnaTesting::KeyKind;
using ZarnaTesting::TestCert;
using ZarnaTesting::TestKey;

// A certificate whose notBefore (or notAfter) holds text that is no time at all.
std::string WithBrokenTime(const TestCert &cert, bool start)
{
   X509Ptr copy(X509_dup(cert.Get()));
   ASN1_UTCTIME *broken = ASN1_UTCTIME_new();
   ASN1_STRING_set(broken, "not-a-time", -1);
   if (start) {
      X509_set1_notBefore(copy.get(), broken);
   } else {
      X509_set1_notAfter(copy.get(), broken);
   }
   ASN1_UTCTIME_free(broken);
   X509_sign(copy.get(), cert.Key().Get(), EVP_sha256()); // re-encodes the changed field
   BIO *bio = BIO_new(BIO_s_mem());
   PEM_write_bio_X509(bio, copy.get());
   char *data = nullptr;
   long len = BIO_get_mem_data(bio, &data);
   std::string pem(data, static_cast<size_t>(len));
   BIO_free(bio);
   return pem;
}

TEST(CheckCertificateValidity, AcceptsOnlyCertificatesWithinTheirPeriod)
{
   LogCapture log;
   TestCert root = TestCert::SelfSigned(CertSpec::Ca("validity"));
   EXPECT_TRUE(CheckCertificateValidity(root.Pem()));
   const std::string outside = "Certificate is not within its validity period";
   const std::pair<std::string, std::string> refused[] = {
       {"", "Invalid certificate. Empty string"},
       {"hello", "Invalid certificate. Expected PEM format string"},
       {root.Issue(CertSpec::Leaf("a.test").Expired()).Pem(), outside},
       {root.Issue(CertSpec::Leaf("b.test").NotYetValid()).Pem(), outside},
       {WithBrokenTime(root, true), "Certificate start date is in invalid time format"},
       {WithBrokenTime(root, false), "Certificate end date is in invalid time format"},
   };
   for (const auto &[pem, reason] : refused) {
      log.Clear();
      EXPECT_FALSE(CheckCertificateValidity(pem)) << reason;
      EXPECT_TRUE(log.Has(110, reason)) << reason;
   }
}

TEST(PublicKeys, ExtractedKeyIsTheCertifiedKey)
{
   LogCapture log;
   TestCert cert = TestCert::SelfSigned(CertSpec::Ca("pub"));
   std::string publicPem;
   ASSERT_TRUE(ExtractPublicKey(cert.Pem(), publicPem));
   EXPECT_EQ(publicPem, cert.Key().PublicPem());
   EXPECT_TRUE(CheckPublicKey(publicPem));
   EXPECT_TRUE(ComparePublicKeys(publicPem, cert.Key().PublicPem()));

   EXPECT_FALSE(ExtractPublicKey(publicPem, publicPem));
   EXPECT_TRUE(log.Has(110, "Invalid certificate. Not PEM format"));
   EXPECT_FALSE(CheckPublicKey(""));
   EXPECT_TRUE(log.Has(110, "Invalid public key. Empty string"));
   EXPECT_FALSE(CheckPublicKey(cert.Pem()));
   EXPECT_TRUE(log.Has(110, "Invalid public key. Not PEM format"));
}

TEST(Comparisons, DifferentObjectsReportOpenSslResult)
{
   LogCapture log;
   TestCert a = TestCert::SelfSigned(CertSpec::Ca("a"));
   TestCert b = TestCert::SelfSigned(CertSpec::Ca("b"));
   EXPECT_TRUE(CompareCertificates(a.Pem(), a.Pem()));
   EXPECT_FALSE(CompareCertificates(a.Pem(), b.Pem()));
   EXPECT_TRUE(log.Contains("The certificates did not match: "));
   EXPECT_FALSE(log.Contains("The certificates did not match: 0"));

   EXPECT_FALSE(ComparePublicKeys(a.Key().PublicPem(), b.Key().PublicPem()));
   EXPECT_TRUE(log.Has(110, "The public key did not match: 0"));
   TestKey rsa = TestKey::Generate(KeyKind::Rsa2048);
   EXPECT_FALSE(ComparePublicKeys(a.Key().PublicPem(), rsa.PublicPem()));
   EXPECT_TRUE(log.Has(110, "The public key did not match: -1"));
}

TEST(KeyMatch, CertificateAndRequestAgainstPrivateKeys)
{
   LogCapture log;
   TestCert cert = TestCert::SelfSigned(CertSpec::Ca("match"));
   TestKey other = TestKey::Generate();
   EXPECT_TRUE(CertificateMatchesPrivateKey(cert.Pem(), cert.Key().PrivatePem()));
   EXPECT_FALSE(CertificateMatchesPrivateKey(cert.Pem(), other.PrivatePem()));
   EXPECT_TRUE(log.Has(110, "Unable to verify the certificate with the given private key"));
   EXPECT_TRUE(log.Contains("SSL Error: "));
   EXPECT_FALSE(CertificateMatchesPrivateKey(cert.Pem(), "nope"));
   EXPECT_TRUE(log.Has(110, "Invalid private key. Not PEM format"));

   std::string csr;
   ASSERT_TRUE(GenerateCsrForKey(cert.Key().Get(), kDefaultCsrEmail, csr));
   EXPECT_TRUE(CsrMatchesPrivateKey(csr, cert.Key().PrivatePem()));
   EXPECT_FALSE(CsrMatchesPrivateKey(csr, other.PrivatePem()));
   EXPECT_TRUE(log.Has(110, "Unable to verify the CSR with the given private key"));
   EXPECT_FALSE(CsrMatchesPrivateKey(cert.Pem(), cert.Key().PrivatePem()));
   EXPECT_TRUE(log.Has(110, "Invalid CSR. Not PEM format"));
}

} // namespace
