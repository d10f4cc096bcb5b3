// The TPM side of the attestation exchange.
#include <cstring>

#include <openssl/crypto.h>
#include <tss2/tss2_mu.h>

#include "runtime/hostlib/log.h"
#include "runtime/tpm2/attest_protocol.h"
#include "runtime/tpm2/endorsement.h"
#include "runtime/tpm2/tpm2.h"

namespace AttestLib::Tpm2 {

namespace {

using Protocol::Bytes;

template <typename T, TSS2_RC (*Fn)(const uint8_t *, size_t, size_t *, T *)>
bool Unmarshal(const Bytes &in, T &out)
{
   size_t offset = 0;
   return Fn(in.data(), in.size(), &offset, &out) == TSS2_RC_SUCCESS && offset == in.size();
}

template <typename T, TSS2_RC (*Fn)(const T *, uint8_t *, size_t, size_t *)>
Bytes Marshal(const T &in)
{
   Bytes out(sizeof(T) + 16);
   size_t offset = 0;
   if (Fn(&in, out.data(), out.size(), &offset) != TSS2_RC_SUCCESS) {
      return {};
   }
   out.resize(offset);
   return out;
}

class Tpm2AttestState : public AttestState {
public:
   ~Tpm2AttestState() override
   {
      TpmConnection &connection = TpmConnection::Instance();
      auto guard = connection.Lock();
      ForgetKeys(connection);
   }

   bool ProcessContext(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) override
   {
      out.clear();
      Protocol::MessageType type;
      std::string error;
      if (!Protocol::PeekType(in, type, error)) {
         Log_Level(110, "Attestation context refused: %s\n", error.c_str());
         return false;
      }
      TpmConnection &connection = TpmConnection::Instance();
      auto guard = connection.Lock();
      bool ok = false;
      if (type == Protocol::MessageType::Challenge) {
         ok = Begin(connection, in, out);
      } else if (type == Protocol::MessageType::Credential) {
         ok = Answer(connection, in, out);
      } else {
         Log_Level(110, "Attestation context refused: unexpected context type %d\n",
                   static_cast<int>(type));
      }
      if (!ok) {
         out.clear();
      }
      return ok;
   }

private:
   // A new session: keys ready, the AK's public area out.
   bool Begin(TpmConnection &connection, const Bytes &in, Bytes &out)
   {
      Protocol::Challenge challenge;
      std::string error;
      if (!Protocol::Decode(in, challenge, error)) {
         Log_Level(110, "Attestation context refused: %s\n", error.c_str());
         return false;
      }
      mSessionId.clear();
      if (!EnsureKeys(connection)) {
         return false;
      }
      mSessionId = challenge.sessionId;
      out = Protocol::Encode(Protocol::AkPublic{challenge.sessionId, mAkPublic});
      return true;
   }

   // The service's credential: recover the secret, quote the PCRs with its nonce.
   bool Answer(TpmConnection &connection, const Bytes &in, Bytes &out)
   {
      Protocol::Credential credential;
      std::string error;
      if (!Protocol::Decode(in, credential, error)) {
         Log_Level(110, "Attestation context refused: %s\n", error.c_str());
         return false;
      }
      // Each session answers one credential, for the AK it announced.
      const bool current = !mSessionId.empty() && credential.sessionId == mSessionId &&
                           mGeneration == connection.Generation() && mAk.handle != ESYS_TR_NONE;
      mSessionId.clear();
      if (!current) {
         Log_Level(110, "Attestation context refused: not the current session\n");
         return false;
      }
      TPM2B_ID_OBJECT blob{};
      TPM2B_ENCRYPTED_SECRET secret{};
      TPML_PCR_SELECTION selection{};
      if (!Unmarshal<TPM2B_ID_OBJECT, Tss2_MU_TPM2B_ID_OBJECT_Unmarshal>(credential.credentialBlob,
                                                                         blob) ||
          !Unmarshal<TPM2B_ENCRYPTED_SECRET, Tss2_MU_TPM2B_ENCRYPTED_SECRET_Unmarshal>(
              credential.encryptedSecret, secret) ||
          !Unmarshal<TPML_PCR_SELECTION, Tss2_MU_TPML_PCR_SELECTION_Unmarshal>(
              credential.pcrSelection, selection)) {
         Log_Level(110, "Attestation context refused: malformed credential\n");
         return false;
      }
      Protocol::Evidence evidence;
      evidence.sessionId = credential.sessionId;
      const bool ok = Activate(connection, blob, secret, evidence.secret) &&
                      ReadPcrs(connection, selection, evidence.pcrValues) &&
                      Quote(connection, credential.nonce, selection, evidence);
      if (ok) {
         out = Protocol::Encode(evidence);
      } else if (connection.ContextOf(mGeneration)) {
         // The TPM refused something: start over with fresh keys next time
         // rather than trust what we keep.
         ForgetKeys(connection);
      }
      OPENSSL_cleanse(evidence.secret.data(), evidence.secret.size());
      return ok;
   }

   bool Activate(TpmConnection &connection, const TPM2B_ID_OBJECT &blob,
                 const TPM2B_ENCRYPTED_SECRET &secret, Bytes &recovered)
   {
      ESYS_CONTEXT *ctx = connection.ContextOf(mGeneration);
      if (!ctx) {
         return false;
      }
      // The endorsement key is usable only through its policy.
      ESYS_TR session = ESYS_TR_NONE;
      TPMT_SYM_DEF symmetric{};
      symmetric.algorithm = TPM2_ALG_NULL;
      if (!connection.Check(Esys_StartAuthSession(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                                  ESYS_TR_NONE, ESYS_TR_NONE, nullptr,
                                                  TPM2_SE_POLICY, &symmetric, TPM2_ALG_SHA256,
                                                  &session),
                            "StartAuthSession")) {
         return false;
      }
      bool ok = false;
      {
         EsysPtr<TPM2B_TIMEOUT> timeout;
         EsysPtr<TPMT_TK_AUTH> ticket;
         ok = connection.Check(Esys_PolicySecret(ctx, ESYS_TR_RH_ENDORSEMENT, session,
                                                 ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                                 nullptr, nullptr, nullptr, 0, &timeout, &ticket),
                               "PolicySecret");
      }
      if (ok) {
         EsysPtr<TPM2B_DIGEST> certInfo;
         ok = connection.Check(Esys_ActivateCredential(ctx, mAk.handle, mEk.handle,
                                                       ESYS_TR_PASSWORD, session, ESYS_TR_NONE,
                                                       &blob, &secret, &certInfo),
                               "ActivateCredential");
         if (ok) {
            recovered.assign(certInfo->buffer, certInfo->buffer + certInfo->size);
            OPENSSL_cleanse(certInfo->buffer, sizeof certInfo->buffer);
         }
      }
      // A policy session that survives its use stays loaded until flushed.
      if (connection.ContextOf(mGeneration) == ctx) {
         Esys_FlushContext(ctx, session);
      }
      return ok;
   }

   // The values of the selected PCRs, in selection order (a read returns at most 8).
   bool ReadPcrs(TpmConnection &connection, const TPML_PCR_SELECTION &selection, Bytes &values)
   {
      TPML_PCR_SELECTION remaining = selection;
      for (int round = 0; round < 64; ++round) {
         bool empty = true;
         for (uint32_t b = 0; b < remaining.count && b < TPM2_NUM_PCR_BANKS; ++b) {
            for (uint8_t i = 0;
                 i < remaining.pcrSelections[b].sizeofSelect && i < TPM2_PCR_SELECT_MAX; ++i) {
               empty = empty && remaining.pcrSelections[b].pcrSelect[i] == 0;
            }
         }
         if (empty) {
            return true;
         }
         ESYS_CONTEXT *ctx = connection.ContextOf(mGeneration);
         if (!ctx) {
            return false;
         }
         uint32_t counter = 0;
         EsysPtr<TPML_PCR_SELECTION> read;
         EsysPtr<TPML_DIGEST> digests;
         if (!connection.Check(Esys_PCR_Read(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                             &remaining, &counter, &read, &digests),
                               "PCR_Read")) {
            return false;
         }
         if (digests->count == 0) {
            Log_Level(110, "TPM: PCR selection names PCRs the TPM does not have\n");
            return false;
         }
         for (uint32_t i = 0; i < digests->count; ++i) {
            Bytes one = Marshal<TPM2B_DIGEST, Tss2_MU_TPM2B_DIGEST_Marshal>(digests->digests[i]);
            values.insert(values.end(), one.begin(), one.end());
         }
         for (uint32_t r = 0; r < read->count; ++r) {
            for (uint32_t b = 0; b < remaining.count && b < TPM2_NUM_PCR_BANKS; ++b) {
               if (remaining.pcrSelections[b].hash != read->pcrSelections[r].hash) {
                  continue;
               }
               for (uint8_t i = 0;
                    i < remaining.pcrSelections[b].sizeofSelect && i < TPM2_PCR_SELECT_MAX; ++i) {
                  remaining.pcrSelections[b].pcrSelect[i] &=
                      static_cast<uint8_t>(~read->pcrSelections[r].pcrSelect[i]);
               }
            }
         }
      }
      return false;
   }

   bool Quote(TpmConnection &connection, const Bytes &nonce, const TPML_PCR_SELECTION &selection,
              Protocol::Evidence &evidence)
   {
      ESYS_CONTEXT *ctx = connection.ContextOf(mGeneration);
      if (!ctx) {
         return false;
      }
      TPM2B_DATA qualifying{};
      qualifying.size = static_cast<uint16_t>(nonce.size());
      std::memcpy(qualifying.buffer, nonce.data(), nonce.size());
      TPMT_SIG_SCHEME scheme{};
      scheme.scheme = TPM2_ALG_NULL; // the key's own
      EsysPtr<TPM2B_ATTEST> quoted;
      EsysPtr<TPMT_SIGNATURE> signature;
      if (!connection.Check(Esys_Quote(ctx, mAk.handle, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                       ESYS_TR_NONE, &qualifying, &scheme, &selection, &quoted,
                                       &signature),
                            "Quote")) {
         return false;
      }
      evidence.attest = Marshal<TPM2B_ATTEST, Tss2_MU_TPM2B_ATTEST_Marshal>(*quoted);
      evidence.signature = Marshal<TPMT_SIGNATURE, Tss2_MU_TPMT_SIGNATURE_Marshal>(*signature);
      return !evidence.attest.empty() && !evidence.signature.empty();
   }

   bool EnsureKeys(TpmConnection &connection)
   {
      if (mGeneration != connection.Generation()) {
         // The connection that held our handles is gone. On a TPM without a
         // resource manager the objects may still be loaded: flush them by
         // their TPM handles through the new connection.
         ForgetKeys(connection);
      }
      if (mAk.handle != ESYS_TR_NONE) {
         return true;
      }
      ESYS_CONTEXT *ctx = connection.Context();
      if (!ctx) {
         return false;
      }
      mGeneration = connection.Generation();
      if (mEk.handle == ESYS_TR_NONE && !LoadEndorsementKey(connection, mEk)) {
         ForgetKeys(connection);
         return false;
      }
      RememberTpmHandle(ctx, mEk, mEkTpmHandle);
      if (!connection.ContextOf(mGeneration) ||
          !CreateEndorsementPrimary(connection, ctx, AttestationKeyTemplate(), "CreatePrimary(AK)",
                                    mAk)) {
         ForgetKeys(connection);
         return false;
      }
      RememberTpmHandle(ctx, mAk, mAkTpmHandle);
      mAkPublic = Marshal<TPM2B_PUBLIC, Tss2_MU_TPM2B_PUBLIC_Marshal>(mAk.pub);
      return !mAkPublic.empty();
   }

   static void RememberTpmHandle(ESYS_CONTEXT *ctx, const LoadedKey &key, TPM2_HANDLE &out)
   {
      out = 0;
      if (key.transient) {
         Esys_TR_GetTpmHandle(ctx, key.handle, &out);
      }
   }

   // Flushes what this state holds; requires the guard.
   void ForgetKeys(TpmConnection &connection)
   {
      if (ESYS_CONTEXT *ctx = connection.ContextOf(mGeneration)) {
         ReleaseKey(ctx, mAk);
         ReleaseKey(ctx, mEk);
      } else {
         mAk.handle = ESYS_TR_NONE;
         mEk.handle = ESYS_TR_NONE;
         // Orphans of a closed connection, if the TPM kept them.
         if (mAkTpmHandle || mEkTpmHandle) {
            if (ESYS_CONTEXT *fresh = connection.Context()) {
               for (TPM2_HANDLE raw : {mAkTpmHandle, mEkTpmHandle}) {
                  ESYS_TR orphan = ESYS_TR_NONE;
                  if (raw && Esys_TR_FromTPMPublic(fresh, raw, ESYS_TR_NONE, ESYS_TR_NONE,
                                                   ESYS_TR_NONE, &orphan) == TSS2_RC_SUCCESS) {
                     Esys_FlushContext(fresh, orphan);
                  }
               }
            }
         }
      }
      mAkTpmHandle = 0;
      mEkTpmHandle = 0;
      mAkPublic.clear();
      mSessionId.clear();
   }

   LoadedKey mEk;
   LoadedKey mAk;
   TPM2_HANDLE mEkTpmHandle = 0;
   TPM2_HANDLE mAkTpmHandle = 0;
   uint64_t mGeneration = 0;
   Bytes mAkPublic;
   Bytes mSessionId;
};

} // namespace

std::shared_ptr<AttestState> AttestState::Create()
{
   return std::make_shared<Tpm2AttestState>();
}

} // namespace AttestLib::Tpm2
