// Attestation handshake time with a cold and with a pooled TPM attestation
// state, against the sum of the same TPM commands timed directly through
// tpm2-tss in the same run (EK read, AK create and load, ActivateCredential,
// Quote), and the share of attestd and the transport. Software TPM and attestd
// on loopback; every process started is stopped at the end.
//
//   bench_attest [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <tss2/tss2_esys.h>

#include "apps/zarna/attest/attest_client.h"
#include "runtime/hostlib/log.h"
#include "runtime/tpm2/endorsement.h"
#include "runtime/tpm2/tpm2.h"
#include "runtime/tpm2/tpm_connection.h"
#include "tests/attest/tpm_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace AttestLib::Tpm2;

double Ms(Clock::duration d)
{
   return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v)
{
   std::sort(v.begin(), v.end());
   return v.empty() ? 0 : v[v.size() / 2];
}

bool Ok(TSS2_RC rc, const char *what)
{
   if (rc != TSS2_RC_SUCCESS) {
      fprintf(stderr, "%s failed: 0x%x\n", what, rc);
      return false;
   }
   return true;
}

struct Baseline {
   std::vector<double> ek, ak, activate, quote;
};

// One round of the bare commands; the service's MakeCredential is not timed.
bool BaselineRound(Baseline &b, int round)
{
   TpmConnection &connection = TpmConnection::Instance();
   auto guard = connection.Lock();
   ESYS_CONTEXT *ctx = connection.Context();
   if (!ctx) {
      return false;
   }
   auto t0 = Clock::now();
   std::vector<uint8_t> der;
   LoadedKey ek;
   if (!ReadEndorsementCertificate(connection, der) || !LoadEndorsementKey(connection, ek)) {
      return false;
   }
   auto t1 = Clock::now();
   TPM2B_PUBLIC tmpl = AttestationKeyTemplate();
   tmpl.publicArea.unique.ecc.x.buffer[0] = static_cast<uint8_t>(round);
   LoadedKey akKey;
   if (!CreateEndorsementPrimary(connection, ctx, tmpl, "CreatePrimary", akKey)) {
      return false;
   }
   const ESYS_TR ak = akKey.handle;
   auto t2 = Clock::now();

   EsysPtr<TPM2B_NAME> name;
   Esys_TR_GetName(ctx, ak, &name);
   TPM2B_DIGEST credential{};
   credential.size = 32;
   EsysPtr<TPM2B_ID_OBJECT> blob;
   EsysPtr<TPM2B_ENCRYPTED_SECRET> secret;
   if (!Ok(Esys_MakeCredential(ctx, ek.handle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                               &credential, name.get(), &blob, &secret),
           "MakeCredential")) {
      return false;
   }

   auto t3 = Clock::now();
   TPMT_SYM_DEF symmetric{};
   symmetric.algorithm = TPM2_ALG_NULL;
   ESYS_TR session = ESYS_TR_NONE;
   EsysPtr<TPM2B_TIMEOUT> timeout;
   EsysPtr<TPMT_TK_AUTH> ticket;
   EsysPtr<TPM2B_DIGEST> certInfo;
   if (!Ok(Esys_StartAuthSession(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                 ESYS_TR_NONE, nullptr, TPM2_SE_POLICY, &symmetric, TPM2_ALG_SHA256,
                                 &session),
           "StartAuthSession") ||
       !Ok(Esys_PolicySecret(ctx, ESYS_TR_RH_ENDORSEMENT, session, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                             ESYS_TR_NONE, nullptr, nullptr, nullptr, 0, &timeout, &ticket),
           "PolicySecret") ||
       !Ok(Esys_ActivateCredential(ctx, ak, ek.handle, ESYS_TR_PASSWORD, session, ESYS_TR_NONE,
                                   blob.get(), secret.get(), &certInfo),
           "ActivateCredential")) {
      return false;
   }
   Esys_FlushContext(ctx, session);
   auto t4 = Clock::now();

   TPML_PCR_SELECTION selection{};
   selection.count = 1;
   selection.pcrSelections[0].hash = TPM2_ALG_SHA256;
   selection.pcrSelections[0].sizeofSelect = 3;
   selection.pcrSelections[0].pcrSelect[0] = 0xff;
   uint32_t counter = 0;
   EsysPtr<TPML_PCR_SELECTION> read;
   EsysPtr<TPML_DIGEST> values;
   TPM2B_DATA nonce{};
   nonce.size = 32;
   TPMT_SIG_SCHEME scheme{};
   scheme.scheme = TPM2_ALG_NULL;
   EsysPtr<TPM2B_ATTEST> quoted;
   EsysPtr<TPMT_SIGNATURE> signature;
   if (!Ok(Esys_PCR_Read(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &selection, &counter, &read,
                         &values),
           "PCR_Read") ||
       !Ok(Esys_Quote(ctx, ak, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &nonce, &scheme,
                      &selection, &quoted, &signature),
           "Quote")) {
      return false;
   }
   auto t5 = Clock::now();
   Esys_FlushContext(ctx, ak);
   ReleaseKey(ctx, ek);
   b.ek.push_back(Ms(t1 - t0));
   b.ak.push_back(Ms(t2 - t1));
   b.activate.push_back(Ms(t4 - t3));
   b.quote.push_back(Ms(t5 - t4));
   return true;
}

// Times the TPM work done inside a handshake.
class TimedState : public AttestState {
public:
   TimedState(std::shared_ptr<AttestState> inner, double &ms) : mInner(std::move(inner)), mMs(ms) {}
   bool ProcessContext(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) override
   {
      auto t0 = Clock::now();
      bool ok = mInner->ProcessContext(in, out);
      mMs += Ms(Clock::now() - t0);
      return ok;
   }

private:
   std::shared_ptr<AttestState> mInner;
   double &mMs;
};

struct Handshake {
   double totalMs = 0;
   double tpmMs = 0;
   bool ok = false;
   std::string error;
};

Handshake RunHandshake(const std::shared_ptr<AttestState> &state, int port,
                       const std::vector<std::string> &cas)
{
   Handshake h;
   Zarna::AttestClientOptions options;
   options.tpm.isTpmAvailable = [&h] {
      auto t0 = Clock::now();
      bool ok = IsTpmAvailable();
      h.tpmMs += Ms(Clock::now() - t0);
      return ok;
   };
   options.tpm.getEndorsementKey = [&h](std::string &key, std::string &certificate) {
      auto t0 = Clock::now();
      bool ok = GetEndorsementKey(key, certificate);
      h.tpmMs += Ms(Clock::now() - t0);
      return ok;
   };
   auto timed = std::make_shared<TimedState>(state, h.tpmMs);
   std::string token;
   Ruvo::Data::ErrorValuePtr error;
   auto t0 = Clock::now();
   {
      Zarna::AttestClient client("localhost", std::to_string(port), cas, timed, options);
      client.GetKmsAuthJwt(token, error);
   }
   h.totalMs = Ms(Clock::now() - t0);
   h.ok = !error && !token.empty();
   if (error) {
      h.error = error->ToString();
   }
   return h;
}

} // namespace

int main(int argc, char **argv)
{
   const int rounds = argc > 1 ? std::max(3, atoi(argv[1])) : 30;
   Log_SetOutputLevel(getenv("BENCH_VERBOSE") ? 130 : 100);
   if (!AttestTesting::HaveSwtpm() || !AttestTesting::ManufacturedTpm::Get().error.empty()) {
      fprintf(stderr, "no software TPM: %s\n", AttestTesting::ManufacturedTpm::Get().error.c_str());
      return 1;
   }
   AttestTesting::SwtpmInstance tpm;
   AttestTesting::AttestdProcess attestd;
   if (!tpm.Start() || !attestd.Start({"--ek-ca", tpm.EkCaBundle()})) {
      fprintf(stderr, "peers did not start\n");
      return 1;
   }
   SetTcti(tpm.Tcti());

   Baseline base;
   std::vector<double> cold, coldTpm, pooled, pooledTpm;
   auto pooledState = AttestState::Create();
   RunHandshake(pooledState, attestd.Port(),
                attestd.TrustedCas()); // warm: keys loaded, TLS code paged in
   for (int i = 0; i < rounds; ++i) {
      // Interleaved, so that drifts of a shared machine touch every column alike.
      if (!BaselineRound(base, i)) {
         fprintf(stderr, "baseline failed\n");
         return 1;
      }
      auto fresh = AttestState::Create();
      Handshake c = RunHandshake(fresh, attestd.Port(), attestd.TrustedCas());
      fresh.reset();
      Handshake p = RunHandshake(pooledState, attestd.Port(), attestd.TrustedCas());
      if (!c.ok || !p.ok) {
         fprintf(stderr, "handshake failed: %s %s\n", c.error.c_str(), p.error.c_str());
         return 1;
      }
      cold.push_back(c.totalMs);
      coldTpm.push_back(c.tpmMs);
      pooled.push_back(p.totalMs);
      pooledTpm.push_back(p.tpmMs);
   }
   pooledState.reset();

   const double ek = Median(base.ek), ak = Median(base.ak), act = Median(base.activate),
                quote = Median(base.quote);
   const double full = ek + ak + act + quote;
   const double keep = ek + act + quote; // what remains when the EK and AK stay loaded
   // attestd reports the time of its own steps (checks, credential, signing).
   attestd.Stop();
   std::vector<double> work;
   const std::string log = attestd.Log();
   for (size_t at = log.find(" work="); at != std::string::npos; at = log.find(" work=", at + 1)) {
      work.push_back(atof(log.c_str() + at + 6));
   }
   const double service = Median(work);
   printf("rounds: %d (medians, ms)\n", rounds);
   printf("bare TPM commands: EK read %.2f, AK create+load %.2f, ActivateCredential %.2f, PCR "
          "read+Quote %.2f\n",
          ek, ak, act, quote);
   printf("  sum %.2f; without AK creation (pooled) %.2f\n", full, keep);
   printf("handshake cold   %.2f = %.2fx the bare sum; TPM inside %.2f = %.2fx\n", Median(cold),
          Median(cold) / full, Median(coldTpm), Median(coldTpm) / full);
   printf("handshake pooled %.2f = %.2fx the bare sum (%.2fx the pooled sum); TPM inside %.2f = "
          "%.2fx the pooled sum\n",
          Median(pooled), Median(pooled) / full, Median(pooled) / keep, Median(pooledTpm),
          Median(pooledTpm) / keep);
   printf("attestd's own work per handshake %.2f = %.0f%% of the pooled handshake; transport (3 "
          "TLS connections) "
          "%.2f = %.0f%%\n",
          service, 100 * service / Median(pooled), Median(pooled) - Median(pooledTpm) - service,
          100 * (Median(pooled) - Median(pooledTpm) - service) / Median(pooled));
   return 0;
}
