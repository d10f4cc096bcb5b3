#include "apps/trusted-host-services/common/sslKeyGen.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include "apps/trusted-host-services/common/sslInternal.h"
#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/log.h"

namespace Ths::Common::SslUtils {

namespace {

constexpr int kRsaBits = 4096;
constexpr long kNotBeforeSkewSec = 120;
constexpr long kValiditySec = 315360000; // 3650 days

struct NameEntry {
   const char *field;
   const char *value;
};
// Order matters: it is the order of the subject's relative names.
constexpr NameEntry kSubject[] = {
    {"C", "US"},     {"ST", "California"},         {"CN", "localhost"},
    {"O", "Talvor"}, {"OU", "Talvor Engineering"},
};

void SetFixedSubject(X509_NAME *name)
{
   for (const auto &entry : kSubject) {
      THS_SSL_VERIFY(X509_NAME_add_entry_by_txt(
                         name, entry.field, MBSTRING_ASC,
                         reinterpret_cast<const unsigned char *>(entry.value), -1, -1, 0) == 1);
   }
}

bool AddCertExtension(X509 *cert, int nid, const char *value)
{
   X509V3_CTX ctx;
   X509V3_set_ctx_nodb(&ctx);
   X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
   X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
   bool added = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
   X509_EXTENSION_free(ext);
   if (!added) {
      LogSslError(std::string("Self-signed certificate: extension ") + OBJ_nid2sn(nid) + " failed");
   }
   return added;
}

bool WritePrivateKey(EVP_PKEY *key, std::string &privateKeyPem)
{
   BioPtr bio = Detail::NewWriteBio();
   if (key == nullptr ||
       PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
      ERR_clear_error();
      return false;
   }
   privateKeyPem = Detail::BioText(bio.get());
   return true;
}

// IA5String holds 7-bit text only; control characters and spaces are no address.
bool IsUsableEmail(const std::string &address)
{
   return !address.empty() && std::all_of(address.begin(), address.end(), [](char c) {
      auto u = static_cast<unsigned char>(c);
      return u > 0x20 && u < 0x7f;
   });
}

// Built from a GENERAL_NAME rather than a "email:..." configuration string, so the
// address cannot smuggle further names in.
bool AddEmailAltName(X509_REQ *request, const std::string &address)
{
   GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
   GENERAL_NAME *name = GENERAL_NAME_new();
   ASN1_IA5STRING *text = ASN1_IA5STRING_new();
   THS_SSL_VERIFY(names != nullptr && name != nullptr && text != nullptr);
   THS_SSL_VERIFY(ASN1_STRING_set(text, address.data(), static_cast<int>(address.size())) == 1);
   GENERAL_NAME_set0_value(name, GEN_EMAIL, text);
   THS_SSL_VERIFY(sk_GENERAL_NAME_push(names, name) > 0);

   STACK_OF(X509_EXTENSION) *extensions = sk_X509_EXTENSION_new_null();
   THS_SSL_VERIFY(extensions != nullptr);
   bool added =
       X509V3_add1_i2d(&extensions, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1 &&
       X509_REQ_add_extensions(request, extensions) == 1;
   sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
   GENERAL_NAMES_free(names);
   if (!added) {
      LogSslError("CSR: subject alternative name failed");
   }
   return added;
}

} // namespace

bool GenerateRsaKey(EvpPkeyPtr &key)
{
   BignumPtr exponent(BN_new());
   THS_SSL_VERIFY(exponent != nullptr);
   if (BN_set_word(exponent.get(), RSA_F4) != 1) {
      Log_Level(110, "BN_set_word failed\n");
      return false;
   }
   EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
   THS_SSL_VERIFY(ctx != nullptr);
   EVP_PKEY *generated = nullptr;
   if (EVP_PKEY_keygen_init(ctx.get()) != 1 ||
       EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaBits) != 1 ||
       EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1 ||
       EVP_PKEY_keygen(ctx.get(), &generated) != 1) {
      Log_Level(110, "RSA_generate_key_ex failed\n");
      return false;
   }
   EvpPkeyPtr result(generated);
   // The key object must really hold the RSA key that was asked for.
   if (!EVP_PKEY_is_a(result.get(), "RSA") || EVP_PKEY_get_bits(result.get()) != kRsaBits) {
      Log_Level(110, "EVP_PKEY_assign_RSA failed\n");
      return false;
   }
   key = std::move(result);
   return true;
}

bool PrivateKeyToPem(EVP_PKEY *key, std::string &privateKeyPem)
{
   if (!WritePrivateKey(key, privateKeyPem)) {
      Log_Level(110, "PEM_write_bio_PrivateKey failed\n");
      return false;
   }
   return true;
}

bool GenerateSelfSignedCertificate(EVP_PKEY *key, std::string &certPem)
{
   X509Ptr cert(X509_new());
   THS_SSL_VERIFY(cert != nullptr);
   X509 *x = cert.get();
   THS_SSL_VERIFY(ASN1_INTEGER_set(X509_get_serialNumber(x), 1) == 1);
   THS_SSL_VERIFY(X509_set_version(x, 2) == 1);
   THS_SSL_VERIFY(X509_gmtime_adj(X509_getm_notBefore(x), -kNotBeforeSkewSec) != nullptr);
   THS_SSL_VERIFY(X509_gmtime_adj(X509_getm_notAfter(x), kValiditySec) != nullptr);
   if (key == nullptr || X509_set_pubkey(x, key) != 1) {
      LogSslError("Self-signed certificate: X509_set_pubkey failed");
      return false;
   }
   SetFixedSubject(X509_get_subject_name(x));
   THS_SSL_VERIFY(X509_set_issuer_name(x, X509_get_subject_name(x)) == 1);

   // The key identifier goes in before the authority identifier that copies it.
   if (!AddCertExtension(x, NID_basic_constraints, "critical,CA:FALSE") ||
       !AddCertExtension(x, NID_key_usage, "critical,keyCertSign,digitalSignature") ||
       !AddCertExtension(x, NID_subject_key_identifier, "hash") ||
       !AddCertExtension(x, NID_authority_key_identifier, "keyid:always")) {
      return false;
   }
   if (X509_sign(x, key, EVP_sha256()) <= 0) {
      LogSslError("Self-signed certificate: X509_sign failed");
      return false;
   }
   BioPtr bio = Detail::NewWriteBio();
   if (PEM_write_bio_X509(bio.get(), x) != 1) {
      Log_Level(110, "PEM_write_bio_X509 failed\n");
      ERR_clear_error();
      return false;
   }
   certPem = Detail::BioText(bio.get());
   return true;
}

bool GenerateCsrForKey(EVP_PKEY *key, const std::string &caEmail, std::string &csrPem)
{
   if (!IsUsableEmail(caEmail)) {
      Log_Level(110, "CSR: invalid e-mail address\n");
      return false;
   }
   X509ReqPtr request(X509_REQ_new());
   THS_SSL_VERIFY(request != nullptr);
   THS_SSL_VERIFY(X509_REQ_set_version(request.get(), 0) == 1);
   if (key == nullptr || X509_REQ_set_pubkey(request.get(), key) != 1) {
      LogSslError("CSR: X509_REQ_set_pubkey failed");
      return false;
   }
   SetFixedSubject(X509_REQ_get_subject_name(request.get()));
   if (!AddEmailAltName(request.get(), caEmail)) {
      return false;
   }
   if (X509_REQ_sign(request.get(), key, EVP_sha256()) <= 0) {
      LogSslError("CSR: X509_REQ_sign failed");
      return false;
   }
   BioPtr bio = Detail::NewWriteBio();
   if (PEM_write_bio_X509_REQ(bio.get(), request.get()) != 1) {
      Log_Level(110, "Failed to convert the CSR into a string\n");
      ERR_clear_error();
      return false;
   }
   csrPem = Detail::BioText(bio.get());
   return true;
}

bool GenerateCsr(std::string &csrPem, std::string &privateKeyPem, const std::string &caEmail)
{
   EvpPkeyPtr key;
   if (!GenerateRsaKey(key) || !GenerateCsrForKey(key.get(), caEmail, csrPem)) {
      return false;
   }
   if (!WritePrivateKey(key.get(), privateKeyPem)) {
      Log_Level(110, "Failed to convert the private key into a string\n");
      return false;
   }
   return true;
}

} // namespace Ths::Common::SslUtils
