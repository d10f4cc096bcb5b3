// attestd against a client that deviates from the protocol: replays, reused
// sessions, a substituted attestation key, an EK it must not trust, PCRs
// outside its policy. Each is refused and logged.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "api/attestation_report.h"
#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "runtime/tpm2/attest_protocol.h"
#include "runtime/tpm2/tpm2.h"
#include "tests/attest/tpm_fixture.h"

namespace {

using namespace AttestTesting;
namespace Report = Com::Talvor::Brim::Attestation::ReportSvc;
namespace Protocol = AttestLib::Tpm2::Protocol;
using Bytes = std::vector<uint8_t>;

struct Reply {
   Report::Tpm2Result result;
   Ruvo::Data::ErrorValuePtr error;
   std::string ErrorText() const
   {
      return error && !error->messages().empty() ? error->messages()[0].GetDefaultMessage() : "";
   }
};

// One call of the report service, the way the agent makes it.
class RawClient {
public:
   RawClient(int port, std::vector<std::string> cas, std::string certificate)
       : mPort(port), mCas(std::move(cas)), mCertificate(std::move(certificate))
   {
   }
   bool useKey = false;

   Reply Call(const std::vector<Bytes> &contexts)
   {
      boost::asio::io_context io;
      auto provider = Ruvo::Transport::PicoHttp::CreateHttpsClientProvider(
          io, "localhost", static_cast<uint16_t>(mPort), mCas, nullptr);
      Report::AsyncServiceStub stub(provider);
      Report::Tpm2Request request;
      auto identity = std::make_shared<Report::Tpm2Identity>();
      (useKey ? identity->ek_public_key : identity->ek_certificate) = mCertificate;
      request.identity = identity;
      request.contexts = contexts;
      request.document_types = {Report::DocumentType::TOKEN};
      auto value = std::make_shared<Ruvo::Data::StructValue>("emptyDynStr");
      Ruvo::Binding::CodecContext codec;
      Ruvo::Binding::ToStructValue(request, *value, codec);
      Reply reply;
      stub.Attest(value, nullptr,
                  Ruvo::AsyncResult<Ruvo::Data::StructValuePtr>(
                      [&](Ruvo::Outcome<Ruvo::Data::StructValuePtr> &&o) {
                         if (o.IsError()) {
                            reply.error = o.error;
                            return;
                         }
                         Ruvo::Binding::CodecContext out;
                         EXPECT_TRUE(Ruvo::Binding::FromDataValue(*o.value, reply.result, out));
                      }));
      io.run();
      return reply;
   }

   // Steps one and two with a TPM state: the credential context (or empty).
   Bytes Begin(AttestLib::Tpm2::AttestState &state, Bytes *akContext = nullptr)
   {
      Reply challenge = Call({});
      EXPECT_EQ(challenge.error, nullptr) << challenge.ErrorText();
      if (challenge.error || challenge.result.contexts.size() != 1) {
         return {};
      }
      Bytes ak;
      EXPECT_TRUE(state.ProcessContext(challenge.result.contexts[0], ak));
      if (akContext) {
         *akContext = ak;
      }
      Reply credential = Call({ak});
      EXPECT_EQ(credential.error, nullptr) << credential.ErrorText();
      return credential.error || credential.result.contexts.empty() ? Bytes{}
                                                                    : credential.result.contexts[0];
   }

   // Steps one to three: the evidence for the last call (empty when a step failed).
   Bytes Evidence(AttestLib::Tpm2::AttestState &state)
   {
      Bytes evidence;
      EXPECT_TRUE(state.ProcessContext(Begin(state), evidence));
      return evidence;
   }

private:
   int mPort;
   std::vector<std::string> mCas;
   std::string mCertificate;
};

std::string EkCertificate()
{
   std::string key;
   std::string certificate;
   EXPECT_TRUE(AttestLib::Tpm2::GetEndorsementKey(key, certificate));
   return certificate;
}

// The certificate's public key (PEM) and the hex SHA-256 of its DER form.
std::pair<std::string, std::string> PublicKeyOf(const std::string &certificatePem)
{
   BIO *bio = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
   X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
   BIO_free(bio);
   EVP_PKEY *key = X509_get_pubkey(cert);
   unsigned char *der = nullptr;
   const int size = i2d_PUBKEY(key, &der);
   unsigned char digest[SHA256_DIGEST_LENGTH];
   SHA256(der, static_cast<size_t>(size), digest);
   std::string hex;
   for (unsigned char b : digest) {
      char two[3];
      snprintf(two, sizeof two, "%02x", b);
      hex += two;
   }
   BIO *out = BIO_new(BIO_s_mem());
   PEM_write_bio_PUBKEY(out, key);
   char *data = nullptr;
   const long length = BIO_get_mem_data(out, &data);
   std::string pem(data, static_cast<size_t>(length));
   BIO_free(out);
   OPENSSL_free(der);
   EVP_PKEY_free(key);
   X509_free(cert);
   return {pem, hex};
}

using AttestdRefusalTest = SwtpmTest;

TEST_F(AttestdRefusalTest, ReplayedQuoteReusedSessionAndSubstitutedKeyAreRefused)
{
   AttestdProcess attestd;
   ASSERT_TRUE(attestd.Start({"--ek-ca", tpm.EkCaBundle()})) << attestd.Log();
   RawClient client(attestd.Port(), attestd.TrustedCas(), EkCertificate());
   auto a = AttestLib::Tpm2::AttestState::Create();
   auto b = AttestLib::Tpm2::AttestState::Create();

   // A full exchange, then the same evidence once more.
   Bytes evidenceA = client.Evidence(*a);
   ASSERT_FALSE(evidenceA.empty());
   Reply passed = client.Call({evidenceA});
   ASSERT_EQ(passed.error, nullptr) << passed.ErrorText();
   EXPECT_TRUE(passed.result.finished);
   Reply replay = client.Call({evidenceA});
   EXPECT_NE(replay.ErrorText().find("unknown or expired session"), std::string::npos)
       << replay.ErrorText();

   // The AK step of a session that is past it.
   Bytes akB;
   Bytes credentialB = client.Begin(*b, &akB);
   Reply reused = client.Call({akB});
   EXPECT_NE(reused.ErrorText().find("already past"), std::string::npos) << reused.ErrorText();

   // Session B: the secret recovered for its AK, but the quote signed by A's key.
   Bytes evidenceB = client.Evidence(*b);
   Protocol::Evidence forged;
   Protocol::Evidence fromA;
   std::string error;
   ASSERT_TRUE(Protocol::Decode(evidenceB, forged, error));
   ASSERT_TRUE(Protocol::Decode(evidenceA, fromA, error));
   forged.attest = fromA.attest;
   forged.signature = fromA.signature;
   Reply substituted = client.Call({Protocol::Encode(forged)});
   EXPECT_NE(substituted.ErrorText().find("does not verify with the attestation key"),
             std::string::npos)
       << substituted.ErrorText();

   // A quote by the right key but a secret that key's TPM did not recover.
   Bytes evidenceA2 = client.Evidence(*a);
   Protocol::Evidence wrongSecret;
   ASSERT_TRUE(Protocol::Decode(evidenceA2, wrongSecret, error));
   wrongSecret.secret[0] ^= 1;
   Reply notActivated = client.Call({Protocol::Encode(wrongSecret)});
   EXPECT_NE(notActivated.ErrorText().find("not activated by this EK"), std::string::npos);

   attestd.Stop();
   EXPECT_NE(attestd.Log().find("refused: unknown or expired session"), std::string::npos);
   EXPECT_NE(attestd.Log().find("refused: credential secret does not match"), std::string::npos);
}

TEST_F(AttestdRefusalTest, EkTrustAndPcrPolicyAreEnforced)
{
   const std::string certificate = EkCertificate();
   auto state = AttestLib::Tpm2::AttestState::Create();

   // An EK CA bundle that is not the TPM maker's.
   ZarnaTesting::TempDir dir;
   ZarnaTesting::TestPki other = ZarnaTesting::TestPki::Make();
   dir.Write("other-ca.pem", other.root.Pem());
   AttestdProcess strict;
   ASSERT_TRUE(strict.Start({"--ek-ca", dir.File("other-ca.pem")})) << strict.Log();
   Reply foreign = RawClient(strict.Port(), strict.TrustedCas(), certificate).Call({});
   EXPECT_NE(foreign.ErrorText().find("not issued by a trusted EK CA"), std::string::npos)
       << foreign.ErrorText();

   // A bare key: accepted only when its digest is allowed.
   auto [keyPem, digest] = PublicKeyOf(certificate);
   AttestdProcess allowing;
   ASSERT_TRUE(allowing.Start({"--ek-allow", digest})) << allowing.Log();
   RawClient byKey(allowing.Port(), allowing.TrustedCas(), keyPem);
   byKey.useKey = true;
   EXPECT_EQ(byKey.Call({byKey.Evidence(*state)}).error, nullptr);
   AttestdProcess denying;
   ASSERT_TRUE(denying.Start({"--ek-allow", std::string(64, 'a')})) << denying.Log();
   RawClient denied(denying.Port(), denying.TrustedCas(), keyPem);
   denied.useKey = true;
   EXPECT_NE(denied.Call({}).ErrorText().find("not on the allow-list"), std::string::npos);

   // PCR 0 outside the policy; the freshly started TPM holds zeros in PCRs 0-7.
   dir.Write("policy",
             "# expected values\n0 " + std::string(64, 'f') + "\n1 " + std::string(64, '0') + "\n");
   AttestdProcess policed;
   ASSERT_TRUE(policed.Start({"--ek-ca", tpm.EkCaBundle()}, {"--pcr-policy", dir.File("policy")}))
       << policed.Log();
   RawClient client(policed.Port(), policed.TrustedCas(), certificate);
   Reply outside = client.Call({client.Evidence(*state)});
   EXPECT_NE(outside.ErrorText().find("PCR 0 outside the policy"), std::string::npos)
       << outside.ErrorText();
   policed.Stop();
   EXPECT_NE(policed.Log().find("refused: PCR 0 outside the policy"), std::string::npos);
}

} // namespace
