#include "runtime/tpm2/endorsement.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <openssl/rand.h>

#include "runtime/tpm2/tpm2.h"
#include "runtime/tpm2/tpm_keys.h"

namespace AttestLib::Tpm2 {

namespace {

// Policy of the standard endorsement key: PolicySecret(TPM_RH_ENDORSEMENT).
constexpr uint8_t kEkPolicy[32] = {0x83, 0x71, 0x97, 0x67, 0x44, 0x84, 0xb3, 0xf8, 0x1a, 0x90, 0xcc,
                                   0x8d, 0x46, 0xa5, 0xd7, 0x24, 0xfd, 0x52, 0xd7, 0x6e, 0x06, 0x52,
                                   0x0b, 0x64, 0xf2, 0xa1, 0xda, 0x1b, 0x33, 0x14, 0x69, 0xaa};

TPM2B_PUBLIC EkTemplate()
{
   TPM2B_PUBLIC t{};
   TPMT_PUBLIC &p = t.publicArea;
   p.type = TPM2_ALG_RSA;
   p.nameAlg = TPM2_ALG_SHA256;
   p.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                        TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_ADMINWITHPOLICY |
                        TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;
   p.authPolicy.size = sizeof kEkPolicy;
   std::memcpy(p.authPolicy.buffer, kEkPolicy, sizeof kEkPolicy);
   p.parameters.rsaDetail.symmetric.algorithm = TPM2_ALG_AES;
   p.parameters.rsaDetail.symmetric.keyBits.aes = 128;
   p.parameters.rsaDetail.symmetric.mode.aes = TPM2_ALG_CFB;
   p.parameters.rsaDetail.scheme.scheme = TPM2_ALG_NULL;
   p.parameters.rsaDetail.keyBits = 2048;
   p.parameters.rsaDetail.exponent = 0;
   p.unique.rsa.size = 256;
   return t;
}

bool IsEndorsementShaped(const TPMT_PUBLIC &p)
{
   const TPMA_OBJECT needed = TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT | TPMA_OBJECT_FIXEDTPM;
   return p.type == TPM2_ALG_RSA && p.nameAlg == TPM2_ALG_SHA256 &&
          (p.objectAttributes & needed) == needed &&
          !(p.objectAttributes & TPMA_OBJECT_SIGN_ENCRYPT);
}

bool ReadNv(TpmConnection &connection, TPM2_HANDLE index, std::vector<uint8_t> &out)
{
   ESYS_CONTEXT *ctx = connection.Context();
   if (!ctx) {
      return false;
   }
   const uint64_t generation = connection.Generation();
   ESYS_TR nv = ESYS_TR_NONE;
   // Absent indices are normal; no log line.
   if (Esys_TR_FromTPMPublic(ctx, index, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &nv) !=
       TSS2_RC_SUCCESS) {
      return false;
   }
   bool ok = false;
   EsysPtr<TPM2B_NV_PUBLIC> pub;
   EsysPtr<TPM2B_NAME> name;
   if (connection.Check(
           Esys_NV_ReadPublic(ctx, nv, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &pub, &name),
           "NV_ReadPublic")) {
      const TPMS_NV_PUBLIC &info = pub->nvPublic;
      const ESYS_TR auth = (info.attributes & TPMA_NV_AUTHREAD) ? nv : ESYS_TR_RH_OWNER;
      const uint16_t total = info.dataSize;
      const uint16_t chunk = connection.NvBufferMax();
      out.clear();
      ok = total > 0;
      for (uint16_t offset = 0; ok && offset < total;) {
         const uint16_t size = static_cast<uint16_t>(std::min<int>(chunk, total - offset));
         EsysPtr<TPM2B_MAX_NV_BUFFER> data;
         ok = connection.Check(Esys_NV_Read(ctx, auth, nv, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                            ESYS_TR_NONE, size, offset, &data),
                               "NV_Read") &&
              data->size == size;
         if (ok) {
            out.insert(out.end(), data->buffer, data->buffer + size);
            offset = static_cast<uint16_t>(offset + size);
         }
      }
   }
   if (connection.ContextOf(generation)) {
      Esys_TR_Close(ctx, &nv);
   }
   return ok;
}

// What does not change while a connection lasts: the persistent EK's handle
// (ESAPI hands out one object per TPM handle, so it is shared, never closed by
// a holder) and the identity texts. Guarded by the connection lock.
struct ConnectionCache {
   uint64_t generation = 0;
   LoadedKey persistentEk;
   bool identityRead = false;
   std::string key;
   std::string certificate;
};

ConnectionCache &Cache(TpmConnection &connection)
{
   static ConnectionCache cache;
   if (cache.generation != connection.Generation()) {
      cache = ConnectionCache{};
      cache.generation = connection.Generation();
   }
   return cache;
}

} // namespace

TPM2B_PUBLIC AttestationKeyTemplate()
{
   TPM2B_PUBLIC t{};
   TPMT_PUBLIC &p = t.publicArea;
   p.type = TPM2_ALG_ECC;
   p.nameAlg = TPM2_ALG_SHA256;
   p.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                        TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                        TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_SIGN_ENCRYPT;
   p.parameters.eccDetail.symmetric.algorithm = TPM2_ALG_NULL;
   p.parameters.eccDetail.scheme.scheme = TPM2_ALG_ECDSA;
   p.parameters.eccDetail.scheme.details.ecdsa.hashAlg = TPM2_ALG_SHA256;
   p.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
   p.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
   // Fresh entropy: each use gets its own key.
   p.unique.ecc.x.size = 32;
   RAND_bytes(p.unique.ecc.x.buffer, 32);
   return t;
}

bool ReadEndorsementCertificate(TpmConnection &connection, std::vector<uint8_t> &der)
{
   return ReadNv(connection, kEkCertRsaIndex, der);
}

bool LoadEndorsementKey(TpmConnection &connection, LoadedKey &ek)
{
   ESYS_CONTEXT *ctx = connection.Context();
   if (!ctx) {
      return false;
   }
   ConnectionCache &cache = Cache(connection);
   if (cache.persistentEk.handle != ESYS_TR_NONE) {
      ek = cache.persistentEk;
      return true;
   }
   const uint64_t generation = connection.Generation();
   ESYS_TR handle = ESYS_TR_NONE;
   if (Esys_TR_FromTPMPublic(ctx, kEkPersistentHandle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                             &handle) == TSS2_RC_SUCCESS) {
      EsysPtr<TPM2B_PUBLIC> pub;
      EsysPtr<TPM2B_NAME> name;
      EsysPtr<TPM2B_NAME> qualified;
      if (connection.Check(Esys_ReadPublic(ctx, handle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                           &pub, &name, &qualified),
                           "ReadPublic") &&
          IsEndorsementShaped(pub->publicArea)) {
         ek.handle = handle;
         ek.transient = false;
         ek.pub = *pub;
         Cache(connection).persistentEk = ek;
         return true;
      }
      if (!connection.ContextOf(generation)) {
         return false;
      }
      Esys_TR_Close(ctx, &handle);
   }
   return CreateEndorsementPrimary(connection, ctx, EkTemplate(), "CreatePrimary(EK)", ek);
}

bool CreateEndorsementPrimary(TpmConnection &connection, ESYS_CONTEXT *ctx,
                              const TPM2B_PUBLIC &tmpl, const char *what, LoadedKey &key)
{
   TPM2B_SENSITIVE_CREATE sensitive{};
   TPM2B_DATA outside{};
   TPML_PCR_SELECTION creation{};
   EsysPtr<TPM2B_PUBLIC> pub;
   EsysPtr<TPM2B_CREATION_DATA> creationData;
   EsysPtr<TPM2B_DIGEST> creationHash;
   EsysPtr<TPMT_TK_CREATION> ticket;
   ESYS_TR handle = ESYS_TR_NONE;
   if (!connection.Check(Esys_CreatePrimary(ctx, ESYS_TR_RH_ENDORSEMENT, ESYS_TR_PASSWORD,
                                            ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &tmpl, &outside,
                                            &creation, &handle, &pub, &creationData, &creationHash,
                                            &ticket),
                         what)) {
      return false;
   }
   key.handle = handle;
   key.transient = true;
   key.pub = *pub;
   return true;
}

void ReleaseKey(ESYS_CONTEXT *ctx, LoadedKey &key)
{
   if (key.handle == ESYS_TR_NONE) {
      return;
   }
   // A persistent key's object is shared by every holder on the connection and
   // goes with it; only transient objects are ours to flush.
   if (ctx && key.transient) {
      Esys_FlushContext(ctx, key.handle);
   }
   key.handle = ESYS_TR_NONE;
}

bool GetEndorsementKey(std::string &key, std::string &certificate)
{
   TpmConnection &connection = TpmConnection::Instance();
   auto guard = connection.Lock();
   if (!connection.Context()) {
      return false;
   }
   ConnectionCache &cache = Cache(connection);
   const uint64_t started = connection.Generation();
   if (!cache.identityRead) {
      std::vector<uint8_t> der;
      std::string pem;
      if (ReadEndorsementCertificate(connection, der)) {
         pem = CertificateDerToPem(der);
      }
      std::string publicPem;
      if (pem.empty()) {
         const uint64_t generation = connection.Generation();
         LoadedKey ek;
         if (!LoadEndorsementKey(connection, ek)) {
            return false;
         }
         EvpKey evp = PublicToEvp(ek.pub.publicArea);
         ReleaseKey(connection.ContextOf(generation), ek);
         publicPem = EvpToPem(evp.get());
         if (publicPem.empty()) {
            return false;
         }
      }
      // A connection lost on the way may have hidden the certificate: nothing is
      // kept, and this try fails.
      if (connection.Generation() != started) {
         return false;
      }
      ConnectionCache &current = Cache(connection);
      current.identityRead = true;
      current.certificate = pem;
      current.key = publicPem;
   }
   const ConnectionCache &read = Cache(connection);
   certificate = read.certificate;
   key = read.key;
   return !certificate.empty() || !key.empty();
}

} // namespace AttestLib::Tpm2
