#include "apps/trusted-host-services/common/sslUtils.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509err.h>

#include "apps/trusted-host-services/common/sslInternal.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "tests/fixtures/cert_factory.h"

namespace {

using namespace Ths::Common::SslUtils;
using HostlibTesting::LogCapture;
using ZarnaTesting::CertSpec;
using ZarnaTesting::TestCert;
using ZarnaTesting::TestPki;

const std::string kBegin = "-----BEGIN CERTIFICATE-----";
const std::string kEnd = "-----END CERTIFICATE-----";

// The base64 body of a PEM text, without line ends.
std::string BodyOf(const std::string &pem)
{
   size_t start = pem.find('\n') + 1;
   size_t stop = pem.find(kEnd);
   std::string body;
   for (size_t i = start; i < stop; ++i) {
      if (pem[i] != '\n') {
         body += pem[i];
      }
   }
   return body;
}

// Canonical text: the fixture's PEM without its final line end.
std::string Canonical(const std::string &pem)
{
   return pem.substr(0, pem.size() - 1);
}

class StandardizeCertificateTest : public ::testing::Test {
protected:
   static void SetUpTestSuite()
   {
      sPem = new std::string(TestCert::SelfSigned(CertSpec::Ca("std")).Pem());
   }
   static void TearDownTestSuite() { delete sPem; }
   static std::string *sPem;
};
std::string *StandardizeCertificateTest::sPem = nullptr;

TEST_F(StandardizeCertificateTest, PastedTextBecomesTheCanonicalFixedPoint)
{
   std::string body = BodyOf(*sPem);
   std::string pasted = "  -----BEGIN CERTIFICATE-----\r\n";
   for (size_t i = 0; i < body.size(); i += 76) {
      pasted += " " + body.substr(i, 76) + "\r\n";
   }
   pasted += "-----END CERTIFICATE-----\r\n\t ";

   ASSERT_TRUE(StandardizeCertificate(kBegin, kEnd, pasted));
   EXPECT_EQ(pasted, Canonical(*sPem));
   ASSERT_NE(PemToX509(pasted), nullptr);
   std::string again = pasted;
   ASSERT_TRUE(StandardizeCertificate(kBegin, kEnd, again));
   EXPECT_EQ(again, pasted);
}

TEST_F(StandardizeCertificateTest, TextAroundTheMarkersIsRefusedUpToTheMarkerLength)
{
   const size_t markerLength = std::string("-----BEGINCERTIFICATE-----").size();
   // Two certificates in one text are not one certificate either.
   for (const std::string &text :
        {"abcd" + *sPem, std::string(markerLength, 'A') + *sPem, *sPem + "x", *sPem + *sPem}) {
      std::string copy = text;
      EXPECT_FALSE(StandardizeCertificate(kBegin, kEnd, copy)) << text.substr(0, 40);
   }
   // Beyond the marker's length the leading text is kept as part of the body.
   std::string text = std::string(markerLength + 1, 'A') + *sPem;
   ASSERT_TRUE(StandardizeCertificate(kBegin, kEnd, text));
   EXPECT_EQ(text.substr(0, kBegin.size() + 1 + markerLength + 1),
             kBegin + "\n" + std::string(markerLength + 1, 'A'));
}

TEST(StandardizeCertificate, LineBreaksAtExactMultiplesOf64)
{
   std::string a(64, 'A'), b(64, 'B');
   std::string text = a + b;
   ASSERT_TRUE(StandardizeCertificate(kBegin, kEnd, text));
   EXPECT_EQ(text, kBegin + "\n" + a + "\n" + b + "\n" + kEnd);

   text = a + "C";
   ASSERT_TRUE(StandardizeCertificate(kBegin, kEnd, text));
   EXPECT_EQ(text, kBegin + "\n" + a + "\nC\n" + kEnd);

   text = " \n ";
   ASSERT_TRUE(StandardizeCertificate(kBegin, kEnd, text));
   EXPECT_EQ(text, kBegin + "\n" + kEnd);
}

TEST(StandardizeCertificate, MarkersAreUsedAsPassedIn)
{
   std::string text = "-----BEGINX-----QUJD-----ENDX-----";
   ASSERT_TRUE(StandardizeCertificate("-----BEGIN X-----", "-----END X-----", text));
   EXPECT_EQ(text, "-----BEGIN X-----\nQUJD\n-----END X-----");
}

// --- chain validation ---

class ValidateCertChainTest : public ::testing::Test {
protected:
   static void SetUpTestSuite() { sPki = new TestPki(TestPki::Make("svc.test", "127.0.0.1")); }
   static void TearDownTestSuite() { delete sPki; }
   static TestPki *sPki;
   LogCapture mLog;
};
TestPki *ValidateCertChainTest::sPki = nullptr;

TEST_F(ValidateCertChainTest, RootIntermediateLeafValidates)
{
   bool duplicate = true;
   EXPECT_TRUE(ValidateCertChain(sPki->ChainPems(), {}, true, duplicate));
   EXPECT_FALSE(duplicate);
   EXPECT_TRUE(mLog.Has(130, "CertChain validation: Found self signed root cert"));
   EXPECT_TRUE(mLog.Has(130, "CertChain validation: Validating certChain[2]"));
   EXPECT_TRUE(ValidateCertChain(std::vector<std::string>{}));
}

TEST_F(ValidateCertChainTest, RepeatedRootIsReportedAndStillValidates)
{
   std::vector<std::string> chain = sPki->ChainPems();
   chain.insert(chain.begin(), chain.front());
   bool duplicate = false;
   EXPECT_TRUE(ValidateCertChain(chain, {}, true, duplicate));
   EXPECT_TRUE(duplicate);
   EXPECT_TRUE(mLog.Has(115, "CertChain validation: Duplicate cert found"));
}

TEST_F(ValidateCertChainTest, BrokenChainsFailWithTheirReason)
{
   const std::string root = sPki->root.Pem(), ca = sPki->intermediate.Pem();
   const std::string chain = "CertChain validation: ", store = "X509 store error: ";
   std::vector<std::string> leafFirst = sPki->ChainPems();
   std::reverse(leafFirst.begin(), leafFirst.end());
   const std::string otherCa = TestPki::Make("other.test").intermediate.Pem();
   const std::string expired = sPki->intermediate.Issue(CertSpec::Leaf("old.test").Expired()).Pem();
   const struct {
      std::vector<std::string> chain;
      bool allowSelfSigned;
      uint32_t level;
      std::string logged, notLogged;
   } cases[] = {
       {leafFirst, true, 110, chain + "X509_verify_cert failed", "certChain[1]"},
       {{sPki->leaf.Pem()}, true, 110, store + "unable to get local issuer certificate", ""},
       {{root, otherCa}, true, 130, chain + "Validating certChain[1]", ""},
       {{root, ca, expired}, true, 110, store + "certificate has expired", ""},
       {{root, "not a certificate"}, true, 110, chain + "Expected valid PEM format string", ""},
       {sPki->ChainPems(), false, 0, "", "Found self signed root cert"},
   };
   for (const auto &c : cases) {
      mLog.Clear();
      bool duplicate = false;
      EXPECT_FALSE(ValidateCertChain(c.chain, {}, c.allowSelfSigned, duplicate))
          << c.logged << c.notLogged;
      EXPECT_TRUE(c.logged.empty() || mLog.Has(c.level, c.logged)) << c.logged;
      EXPECT_TRUE(c.notLogged.empty() || !mLog.Contains(c.notLogged)) << c.notLogged;
   }
}

TEST_F(ValidateCertChainTest, TrustedCaAnchorsTheChain)
{
   bool duplicate = true;
   std::vector<std::string> rest = {sPki->intermediate.Pem(), sPki->leaf.Pem()};
   EXPECT_TRUE(ValidateCertChain(rest, {sPki->root.Pem()}, false, duplicate));
   EXPECT_FALSE(duplicate);

   EXPECT_TRUE(ValidateCertChain(rest, {sPki->root.Pem(), sPki->root.Pem()}, false, duplicate));
   EXPECT_TRUE(duplicate);
   EXPECT_TRUE(mLog.Has(115, "CertChain validation: Duplicate CA cert found"));

   EXPECT_FALSE(ValidateCertChain(rest, {"garbage"}, false, duplicate));
   EXPECT_TRUE(mLog.Has(110, "CertChain validation: Add CA cert to X509 store failed"));
}

TEST(ValidateCertChainDetail, AlreadyInStoreCodeIsRecognisedInBothPackings)
{
   EXPECT_TRUE(Detail::IsCertAlreadyInStoreError(0x0B07C065UL));
   EXPECT_TRUE(Detail::IsCertAlreadyInStoreError(
       ERR_PACK(ERR_LIB_X509, 0, X509_R_CERT_ALREADY_IN_HASH_TABLE)));
   EXPECT_FALSE(
       Detail::IsCertAlreadyInStoreError(ERR_PACK(ERR_LIB_X509, 0, X509_R_KEY_VALUES_MISMATCH)));
   EXPECT_FALSE(Detail::IsCertAlreadyInStoreError(
       ERR_PACK(ERR_LIB_PEM, 0, X509_R_CERT_ALREADY_IN_HASH_TABLE)));
   EXPECT_FALSE(Detail::IsCertAlreadyInStoreError(0));
}

// --- error logging and parsing ---

TEST(LogSslError, LogsMessageThenDrainsTheErrorQueue)
{
   LogCapture log;
   ERR_clear_error();
   EXPECT_EQ(PemToX509("-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----"), nullptr);
   ASSERT_NE(ERR_peek_error(), 0UL);
   LogSslError("something failed");
   EXPECT_TRUE(log.Has(110, "something failed"));
   EXPECT_TRUE(log.Contains("SSL Error: error:"));
   EXPECT_EQ(ERR_peek_error(), 0UL);
}

TEST(PemParsing, CertificatesAndPublicKeysAreNotConfused)
{
   TestCert cert = TestCert::SelfSigned(CertSpec::Ca("parse"));
   EXPECT_NE(PemToX509(cert.Pem()), nullptr);
   EXPECT_EQ(PemToX509(cert.Key().PublicPem()), nullptr);
   EXPECT_NE(PemToPublicKey(cert.Key().PublicPem()), nullptr);
   EXPECT_EQ(PemToPublicKey(cert.Pem()), nullptr);
   EXPECT_EQ(PemToX509(""), nullptr);
   ERR_clear_error();
}

} // namespace
