#include "apps/trusted-host-services/common/sslKeyGen.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "apps/trusted-host-services/common/sslCertChecks.h"
#include "apps/trusted-host-services/common/sslInternal.h"
#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "tests/fixtures/cert_factory.h"

namespace {

using namespace Ths::Common::SslUtils;
using HostlibTesting::LogCapture;
using ZarnaTesting::KeyKind;
using ZarnaTesting::TestKey;

std::vector<std::pair<int, std::string>> NameEntries(const X509_NAME *name)
{
   std::vector<std::pair<int, std::string>> entries;
   for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
      const X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, i);
      const ASN1_STRING *data = X509_NAME_ENTRY_get_data(entry);
      entries.emplace_back(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)),
                           std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(data)),
                                       static_cast<size_t>(ASN1_STRING_length(data))));
   }
   return entries;
}

const std::vector<std::pair<int, std::string>> kFixedSubject = {
    {NID_countryName, "US"},
    {NID_stateOrProvinceName, "California"},
    {NID_commonName, "localhost"},
    {NID_organizationName, "Talvor"},
    {NID_organizationalUnitName, "Talvor Engineering"},
};

time_t ToTime(const ASN1_TIME *t)
{
   struct tm tm {};
   EXPECT_EQ(ASN1_TIME_to_tm(t, &tm), 1);
   return timegm(&tm);
}

TEST(SelfSignedCertificate, CarriesTheFixedIdentityAndExtensions)
{
   TestKey key = TestKey::Generate(KeyKind::EcP256);
   std::string pem;
   time_t before = time(nullptr);
   ASSERT_TRUE(GenerateSelfSignedCertificate(key.Get(), pem));
   X509Ptr cert = PemToX509(pem);
   ASSERT_NE(cert, nullptr);

   EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert.get())), 1);
   EXPECT_EQ(X509_get_version(cert.get()), 2);
   EXPECT_EQ(NameEntries(X509_get_subject_name(cert.get())), kFixedSubject);
   EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())), 0);

   time_t notBefore = ToTime(X509_get0_notBefore(cert.get()));
   time_t notAfter = ToTime(X509_get0_notAfter(cert.get()));
   EXPECT_LE(std::abs(notBefore - (before - 120)), 5);
   EXPECT_EQ(notAfter - notBefore, 315360000 + 120);

   int critical = -1;
   auto *constraints = static_cast<BASIC_CONSTRAINTS *>(
       X509_get_ext_d2i(cert.get(), NID_basic_constraints, &critical, nullptr));
   ASSERT_NE(constraints, nullptr);
   EXPECT_EQ(critical, 1);
   EXPECT_FALSE(constraints->ca);
   BASIC_CONSTRAINTS_free(constraints);
   EXPECT_EQ(X509_get_key_usage(cert.get()),
             static_cast<uint32_t>(KU_KEY_CERT_SIGN | KU_DIGITAL_SIGNATURE));
   const ASN1_OCTET_STRING *subjectKeyId = X509_get0_subject_key_id(cert.get());
   const ASN1_OCTET_STRING *authorityKeyId = X509_get0_authority_key_id(cert.get());
   ASSERT_NE(subjectKeyId, nullptr);
   ASSERT_NE(authorityKeyId, nullptr);
   EXPECT_EQ(ASN1_OCTET_STRING_cmp(subjectKeyId, authorityKeyId), 0);

   EXPECT_EQ(X509_verify(cert.get(), key.Get()), 1);
   int digestNid = 0;
   ASSERT_EQ(X509_get_signature_info(cert.get(), &digestNid, nullptr, nullptr, nullptr), 1);
   EXPECT_EQ(digestNid, NID_sha256);

   LogCapture log;
   const std::string issued = pem;
   EXPECT_FALSE(GenerateSelfSignedCertificate(nullptr, pem));
   EXPECT_EQ(pem, issued) << "output left alone on failure";
}

TEST(PrivateKeyToPem, PublicOnlyKeyIsRefused)
{
   LogCapture log;
   TestKey key = TestKey::Generate();
   std::string pem;
   ASSERT_TRUE(PrivateKeyToPem(key.Get(), pem));
   EXPECT_EQ(TestKey::FromPrivatePem(pem).PublicPem(), key.PublicPem());

   EvpPkeyPtr publicOnly = PemToPublicKey(key.PublicPem());
   ASSERT_NE(publicOnly, nullptr);
   EXPECT_FALSE(PrivateKeyToPem(publicOnly.get(), pem));
   EXPECT_TRUE(log.Has(110, "PEM_write_bio_PrivateKey failed"));
}

// The subject alternative names of a request, as (type, text) pairs.
std::vector<std::pair<int, std::string>> AltNames(const std::string &pem)
{
   std::vector<std::pair<int, std::string>> out;
   X509ReqPtr request = Detail::PemToRequest(pem);
   EXPECT_NE(request, nullptr);
   if (request == nullptr) {
      return out;
   }
   STACK_OF(X509_EXTENSION) *extensions = X509_REQ_get_extensions(request.get());
   EXPECT_EQ(sk_X509_EXTENSION_num(extensions), 1);
   auto *names = static_cast<GENERAL_NAMES *>(
       X509V3_get_d2i(extensions, NID_subject_alt_name, nullptr, nullptr));
   sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
   for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
      int type = -1;
      auto *value = static_cast<ASN1_STRING *>(
          GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names, i), &type));
      out.emplace_back(type, reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)));
   }
   GENERAL_NAMES_free(names);
   return out;
}

TEST(CertificateSigningRequest, NamesTheAuthorityAddressOnly)
{
   LogCapture log;
   TestKey key = TestKey::Generate(KeyKind::Rsa2048);
   std::string pem;
   ASSERT_TRUE(GenerateCsrForKey(key.Get(), "issuer@ca.test", pem));
   X509ReqPtr request = Detail::PemToRequest(pem);
   ASSERT_NE(request, nullptr);
   EXPECT_EQ(NameEntries(X509_REQ_get_subject_name(request.get())), kFixedSubject);
   EXPECT_EQ(X509_REQ_verify(request.get(), key.Get()), 1);
   using Names = std::vector<std::pair<int, std::string>>;
   EXPECT_EQ(AltNames(pem), (Names{{GEN_EMAIL, "issuer@ca.test"}}));

   // The address cannot smuggle in further names.
   ASSERT_TRUE(GenerateCsrForKey(key.Get(), "a@b.test,DNS:evil.test", pem));
   EXPECT_EQ(AltNames(pem).size(), 1u);
   EXPECT_FALSE(GenerateCsrForKey(key.Get(), "", pem));
   EXPECT_FALSE(GenerateCsrForKey(key.Get(), "a b@c.test", pem));
}

// The only test that makes a 4096-bit key: it takes seconds.
TEST(CertificateSigningRequest, NewKeyIsRsa4096WithExponent65537)
{
   std::string csr, privateKey;
   ASSERT_TRUE(GenerateCsr(csr, privateKey));
   EXPECT_TRUE(CsrMatchesPrivateKey(csr, privateKey));
   TestKey key = TestKey::FromPrivatePem(privateKey);
   EXPECT_TRUE(EVP_PKEY_is_a(key.Get(), "RSA"));
   EXPECT_EQ(EVP_PKEY_get_bits(key.Get()), 4096);
   BIGNUM *exponent = nullptr;
   ASSERT_EQ(EVP_PKEY_get_bn_param(key.Get(), "e", &exponent), 1);
   EXPECT_EQ(BN_get_word(exponent), 65537UL);
   BN_free(exponent);
}

} // namespace
