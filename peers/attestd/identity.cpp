#include "peers/attestd/identity.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509_vfy.h>

#include "peers/attestd/evidence.h"

namespace Attestd {

namespace {

// An identity text is a few kilobytes at most; refuse more before parsing.
constexpr size_t kMaxIdentityBytes = 16384;

struct BioFree {
   void operator()(BIO *bio) const { BIO_free(bio); }
};
struct X509Free {
   void operator()(X509 *cert) const { X509_free(cert); }
};
struct StoreCtxFree {
   void operator()(X509_STORE_CTX *ctx) const { X509_STORE_CTX_free(ctx); }
};

std::string Digest(EVP_PKEY *key)
{
   Bytes der = AttestLib::Tpm2::EvpToDer(key);
   if (der.empty()) {
      return {};
   }
   Bytes digest(SHA256_DIGEST_LENGTH);
   SHA256(der.data(), der.size(), digest.data());
   return Hex(digest);
}

std::unique_ptr<BIO, BioFree> Reader(const std::string &text)
{
   return std::unique_ptr<BIO, BioFree>(
       BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

} // namespace

IdentityVerifier::~IdentityVerifier()
{
   X509_STORE_free(mStore);
}

bool IdentityVerifier::Load(const std::vector<std::string> &caFiles,
                            const std::set<std::string> &allowed, std::string &error)
{
   mStore = X509_STORE_new();
   for (const std::string &file : caFiles) {
      if (X509_STORE_load_file(mStore, file.c_str()) != 1) {
         error = "cannot load EK CA file " + file;
         ERR_clear_error();
         return false;
      }
   }
   for (const std::string &digest : allowed) {
      Bytes raw;
      if (!FromHex(digest, raw) || raw.size() != SHA256_DIGEST_LENGTH) {
         error = "EK allow-list entry is not a SHA-256 hex digest: " + digest;
         return false;
      }
      mAllowed.insert(Hex(raw));
   }
   return true;
}

bool IdentityVerifier::Verify(const std::string *certificatePem, const std::string *publicKeyPem,
                              EkIdentity &out, std::string &error) const
{
   if ((certificatePem != nullptr) == (publicKeyPem != nullptr)) {
      error = "identity must carry exactly one of certificate and key";
      return false;
   }
   const std::string &text = certificatePem ? *certificatePem : *publicKeyPem;
   if (text.empty() || text.size() > kMaxIdentityBytes) {
      error = "identity empty or too large";
      return false;
   }
   auto bio = Reader(text);
   EVP_PKEY *key = nullptr;
   if (certificatePem) {
      std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
      if (!cert) {
         ERR_clear_error();
         error = "EK certificate unreadable";
         return false;
      }
      std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
      if (!ctx || X509_STORE_CTX_init(ctx.get(), mStore, cert.get(), nullptr) != 1) {
         error = "cannot verify EK certificate";
         return false;
      }
      if (X509_verify_cert(ctx.get()) != 1) {
         error = std::string("EK certificate not issued by a trusted EK CA: ") +
                 X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
         ERR_clear_error();
         return false;
      }
      key = X509_get_pubkey(cert.get());
   } else {
      key = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
   }
   if (!key) {
      ERR_clear_error();
      error = "EK public key unreadable";
      return false;
   }
   out.key.reset(key, EVP_PKEY_free);
   out.digest = Digest(key);
   if (out.digest.empty()) {
      error = "EK public key unreadable";
      return false;
   }
   if (!certificatePem && mAllowed.count(out.digest) == 0) {
      error = "EK public key not on the allow-list";
      return false;
   }
   return true;
}

} // namespace Attestd
