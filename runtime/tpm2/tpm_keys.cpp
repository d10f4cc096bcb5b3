#include "runtime/tpm2/tpm_keys.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <tss2/tss2_mu.h>

namespace AttestLib::Tpm2 {

namespace {

struct BioFree {
   void operator()(BIO *bio) const { BIO_free(bio); }
};
struct BnFree {
   void operator()(BIGNUM *bn) const { BN_free(bn); }
};
struct ParamBldFree {
   void operator()(OSSL_PARAM_BLD *bld) const { OSSL_PARAM_BLD_free(bld); }
};
struct ParamFree {
   void operator()(OSSL_PARAM *params) const { OSSL_PARAM_free(params); }
};
struct CtxFree {
   void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};

EvpKey FromData(const char *type, OSSL_PARAM_BLD *bld)
{
   std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld));
   std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
   EVP_PKEY *key = nullptr;
   if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
       EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
      return nullptr;
   }
   return EvpKey(key);
}

} // namespace

EvpKey PublicToEvp(const TPMT_PUBLIC &pub)
{
   std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
   if (!bld) {
      return nullptr;
   }
   if (pub.type == TPM2_ALG_RSA) {
      const TPM2B_PUBLIC_KEY_RSA &n = pub.unique.rsa;
      if (n.size == 0 || n.size > sizeof n.buffer) {
         return nullptr;
      }
      const uint32_t exponent =
          pub.parameters.rsaDetail.exponent ? pub.parameters.rsaDetail.exponent : 65537;
      std::unique_ptr<BIGNUM, BnFree> bnN(BN_bin2bn(n.buffer, n.size, nullptr));
      std::unique_ptr<BIGNUM, BnFree> bnE(BN_new());
      if (!bnN || !bnE || BN_set_word(bnE.get(), exponent) != 1 ||
          OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bnN.get()) != 1 ||
          OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, bnE.get()) != 1) {
         return nullptr;
      }
      return FromData("RSA", bld.get());
   }
   if (pub.type == TPM2_ALG_ECC) {
      const char *group = nullptr;
      size_t coordinate = 0;
      switch (pub.parameters.eccDetail.curveID) {
      case TPM2_ECC_NIST_P256:
         group = "prime256v1";
         coordinate = 32;
         break;
      case TPM2_ECC_NIST_P384:
         group = "secp384r1";
         coordinate = 48;
         break;
      default:
         return nullptr;
      }
      const TPMS_ECC_POINT &point = pub.unique.ecc;
      if (point.x.size != coordinate || point.y.size != coordinate) {
         return nullptr;
      }
      std::vector<uint8_t> encoded{0x04};
      encoded.insert(encoded.end(), point.x.buffer, point.x.buffer + coordinate);
      encoded.insert(encoded.end(), point.y.buffer, point.y.buffer + coordinate);
      if (OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) != 1 ||
          OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded.data(),
                                           encoded.size()) != 1) {
         return nullptr;
      }
      return FromData("EC", bld.get());
   }
   return nullptr;
}

std::string EvpToPem(EVP_PKEY *key)
{
   std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
   if (!key || !bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) {
      return {};
   }
   char *data = nullptr;
   long size = BIO_get_mem_data(bio.get(), &data);
   return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::vector<uint8_t> EvpToDer(EVP_PKEY *key)
{
   unsigned char *der = nullptr;
   const int size = key ? i2d_PUBKEY(key, &der) : -1;
   if (size <= 0) {
      return {};
   }
   std::vector<uint8_t> out(der, der + size);
   OPENSSL_free(der);
   return out;
}

bool ObjectName(const TPMT_PUBLIC &pub, std::vector<uint8_t> &name)
{
   if (pub.nameAlg != TPM2_ALG_SHA256) {
      return false;
   }
   uint8_t buffer[sizeof(TPMT_PUBLIC)];
   size_t size = 0;
   if (Tss2_MU_TPMT_PUBLIC_Marshal(&pub, buffer, sizeof buffer, &size) != TSS2_RC_SUCCESS) {
      return false;
   }
   name = {static_cast<uint8_t>(TPM2_ALG_SHA256 >> 8),
           static_cast<uint8_t>(TPM2_ALG_SHA256 & 0xff)};
   uint8_t digest[SHA256_DIGEST_LENGTH];
   SHA256(buffer, size, digest);
   name.insert(name.end(), digest, digest + sizeof digest);
   return true;
}

std::string CertificateDerToPem(const std::vector<uint8_t> &der)
{
   const unsigned char *p = der.data();
   X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
   if (!cert) {
      return {};
   }
   std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
   std::string pem;
   if (bio && PEM_write_bio_X509(bio.get(), cert) == 1) {
      char *data = nullptr;
      long size = BIO_get_mem_data(bio.get(), &data);
      if (size > 0) {
         pem.assign(data, static_cast<size_t>(size));
      }
   }
   X509_free(cert);
   return pem;
}

} // namespace AttestLib::Tpm2
