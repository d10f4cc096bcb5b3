// The attestation client with the TPM library against a software TPM and the
// real attestd: the handshake, what the token says, the failure matrix, and no
// TPM object or session left behind.
#include <signal.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "apps/zarna/attest/attest_client.h"
#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/tpm2/attest_protocol.h"
#include "runtime/tpm2/tpm2.h"
#include "tests/attest/tpm_fixture.h"

namespace {

using namespace AttestTesting;
using AttestLib::Tpm2::AttestState;
namespace Protocol = AttestLib::Tpm2::Protocol;

struct Outcome {
   std::string token;
   Ruvo::Data::ErrorValuePtr error;
   std::string FirstId() const
   {
      return error && !error->messages().empty() ? error->messages()[0].GetId() : "";
   }
};

// Rewrites the service's contexts on their way into the TPM state, or acts
// between steps.
class TamperingState : public AttestState {
public:
   using Hook = std::function<void(int step, std::vector<uint8_t> &context)>;
   TamperingState(std::shared_ptr<AttestState> inner, Hook hook)
       : mInner(std::move(inner)), mHook(std::move(hook))
   {
   }
   bool ProcessContext(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) override
   {
      std::vector<uint8_t> copy = in;
      mHook(mStep++, copy);
      return mInner->ProcessContext(copy, out);
   }

private:
   std::shared_ptr<AttestState> mInner;
   Hook mHook;
   int mStep = 0;
};

class AttestHandshakeTest : public SwtpmTest {
protected:
   bool StartAttestd(const std::vector<std::string> &extra = {})
   {
      return attestd.Start({"--ek-ca", tpm.EkCaBundle()}, extra);
   }

   // One attestation against `service` (the test's attestd by default).
   Outcome Run(const std::shared_ptr<AttestState> &state, std::vector<std::string> cas = {},
               AttestdProcess *service = nullptr)
   {
      Outcome outcome;
      AttestdProcess &to = service ? *service : attestd;
      Zarna::AttestClient client("localhost", std::to_string(to.Port()), cas.empty() ? to.TrustedCas() : cas, state);
      client.GetKmsAuthJwt(outcome.token, outcome.error);
      return outcome;
   }

   void ExpectNoTpmLeftovers()
   {
      size_t objects = 99;
      size_t sessions = 99;
      ASSERT_TRUE(AttestLib::Tpm2::CountLoadedHandles(objects, sessions));
      EXPECT_EQ(objects, 0u);
      EXPECT_EQ(sessions, 0u);
   }

   AttestdProcess attestd;
};

TEST_F(AttestHandshakeTest, PooledStateAttestsRepeatedlyAndTheTokenNamesTheEk)
{
   ASSERT_TRUE(StartAttestd(
       {"--grant", "p1", "--grant", "p2", "--token-lifetime", "600", "--audience", "kp"}))
       << attestd.Log();
   auto state = AttestState::Create();
   const int64_t before = time(nullptr);
   Outcome first = Run(state);
   ASSERT_EQ(first.error, nullptr) << first.error->ToString() << attestd.Log();
   ASSERT_FALSE(first.token.empty());
   EXPECT_TRUE(VerifyEs256(first.token, attestd.SigningPublicKeyFile()));
   auto claims = nlohmann::json::parse(JwtPayload(first.token));
   EXPECT_EQ(claims["aud"], "kp");
   EXPECT_EQ(claims["providers"], nlohmann::json::array({"p1", "p2"}));
   EXPECT_EQ(claims["exp"].get<int64_t>() - claims["iat"].get<int64_t>(), 600);
   EXPECT_GE(claims["iat"].get<int64_t>(), before);
   EXPECT_EQ(claims["sub"].get<std::string>().size(), 64u);

   // The pooled state keeps its keys; the same EK is named and every token is new.
   Outcome second = Run(state);
   ASSERT_EQ(second.error, nullptr) << attestd.Log();
   auto again = nlohmann::json::parse(JwtPayload(second.token));
   EXPECT_EQ(again["sub"], claims["sub"]);
   EXPECT_NE(again["jti"], claims["jti"]);
   EXPECT_NE(attestd.Log().find("passed: sub=" + claims["sub"].get<std::string>()),
             std::string::npos);

   // Another state on the same endorsement key comes and goes; the pooled one
   // must keep working (they share the EK object on the connection).
   {
      auto other = AttestState::Create();
      EXPECT_EQ(Run(other).error, nullptr);
   }
   EXPECT_EQ(Run(state).error, nullptr);

   state.reset();
   ExpectNoTpmLeftovers();
}

TEST_F(AttestHandshakeTest, FailureMatrixEndsWithTheRightErrorsAndLeavesNothingLoaded)
{
   ASSERT_TRUE(StartAttestd()) << attestd.Log();
   auto pooled = AttestState::Create();
   HostlibTesting::LogCapture log;

   // A TPM that refuses ActivateCredential: the credential was not made for it.
   auto corrupt =
       std::make_shared<TamperingState>(pooled, [](int step, std::vector<uint8_t> &context) {
          if (step == 1) {
             Protocol::Credential credential;
             std::string error;
             ASSERT_TRUE(Protocol::Decode(context, credential, error)) << error;
             credential.encryptedSecret.back() ^= 0x5a;
             context = Protocol::Encode(credential);
          }
       });
   EXPECT_EQ(Run(corrupt).FirstId(), Zarna::ErrorIds::kAttestProcessContext);
   corrupt.reset();

   // Contexts that are truncated, oversized or of an unknown version.
   for (auto damage : std::vector<std::function<void(std::vector<uint8_t> &)>>{
            [](std::vector<uint8_t> &c) { c.resize(c.size() - 1); },
            [](std::vector<uint8_t> &c) { c.resize(Protocol::kMaxContextBytes + 1); },
            [](std::vector<uint8_t> &c) { c[4] = 99; }}) {
      auto damaged = std::make_shared<TamperingState>(
          pooled, [&](int, std::vector<uint8_t> &c) { damage(c); });
      EXPECT_EQ(Run(damaged).FirstId(), Zarna::ErrorIds::kAttestProcessContext);
   }
   EXPECT_TRUE(log.Has(110, "Unable to process context"));

   // The pooled state still works after all that.
   EXPECT_EQ(Run(pooled).error, nullptr) << attestd.Log();

   // The TPM disappears between the two steps: the handshake fails cleanly, and
   // once it is back the same pooled state attests again with fresh keys.
   auto killing = std::make_shared<TamperingState>(pooled, [&](int step, std::vector<uint8_t> &) {
      if (step == 1) {
         tpm.Kill();
      }
   });
   EXPECT_EQ(Run(killing).FirstId(), Zarna::ErrorIds::kAttestProcessContext);
   killing.reset();
   EXPECT_EQ(Run(pooled).FirstId(), Zarna::ErrorIds::kAttestNoTpm2);
   EXPECT_TRUE(log.Has(110, "No TPM2 device available"));
   ASSERT_TRUE(tpm.Start()) << tpm.Log();
   EXPECT_EQ(Run(pooled).error, nullptr) << attestd.Log();

   pooled.reset();
   ExpectNoTpmLeftovers();
}

// What only the wire can carry (the reply shapes themselves are the client's
// unit test): a document type the interface does not know, the service's own
// error, a reply for another request, bytes that are no reply.
TEST_F(AttestHandshakeTest, ServiceMisbehaviourOverTheWire)
{
   struct Case {
      std::string fault;
      std::string id;
   };
   const std::vector<Case> cases = {
       {"wrong-type", Zarna::ErrorIds::kAttestUnexpectedResult},
       {"error", "com.talvor.brim.attestation.report.refused"},
       {"wrong-id", "ruvo.unknown.request.id"},
       {"garbage", ""},
       {"close", ""},
   };
   auto state = AttestState::Create();
   for (const Case &c : cases) {
      AttestdProcess faulty;
      ASSERT_TRUE(faulty.Start({"--ek-ca", tpm.EkCaBundle()}, {"--fault", c.fault}))
          << faulty.Log();
      Outcome outcome = Run(state, {}, &faulty);
      EXPECT_TRUE(outcome.token.empty()) << c.fault;
      ASSERT_NE(outcome.error, nullptr) << c.fault;
      if (!c.id.empty()) {
         EXPECT_EQ(outcome.FirstId(), c.id) << c.fault << ": " << outcome.error->ToString();
      }
   }
   state.reset();
   ExpectNoTpmLeftovers();
}

TEST_F(AttestHandshakeTest, UntrustedServiceAndAbsentTpmFailBeforeAnyExchange)
{
   ASSERT_TRUE(StartAttestd()) << attestd.Log();
   auto state = AttestState::Create();
   ZarnaTesting::TestPki stranger = ZarnaTesting::TestPki::Make();
   Outcome untrusted = Run(state, {stranger.root.Pem()});
   ASSERT_NE(untrusted.error, nullptr);
   EXPECT_EQ(untrusted.FirstId(), "ruvo.connect.failed");
   EXPECT_EQ(attestd.Log().find("passed"), std::string::npos);

   // No TLS provider at all (here: a port that is no port): the client's own setup error.
   Outcome noProvider;
   Zarna::AttestClient broken("localhost", "70000", attestd.TrustedCas(), state);
   broken.GetKmsAuthJwt(noProvider.token, noProvider.error);
   EXPECT_EQ(noProvider.FirstId(), Zarna::ErrorIds::kAttestConnectionSetupFailure);

   tpm.Kill();
   AttestLib::Tpm2::SetTcti("swtpm:host=127.0.0.1,port=1");
   Outcome absent = Run(state);
   EXPECT_EQ(absent.FirstId(), Zarna::ErrorIds::kAttestNoTpm2);
}

} // namespace
