#include "apps/trusted-host-services/common/sslUtils.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include "apps/trusted-host-services/common/sslInternal.h"
#include "runtime/hostlib/log.h"

namespace Ths::Common::SslUtils {

namespace {

enum class AddResult { kAdded, kDuplicate, kFailed };

bool StoreHolds(X509_STORE *store, const X509 *cert)
{
   bool found = false;
   X509_STORE_lock(store);
   STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
   for (int i = 0; i < sk_X509_OBJECT_num(objects) && !found; ++i) {
      const X509 *held = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
      found = held != nullptr && X509_cmp(held, cert) == 0;
   }
   X509_STORE_unlock(store);
   return found;
}

AddResult AddTrusted(X509_STORE *store, X509 *cert)
{
   if (StoreHolds(store, cert)) {
      return AddResult::kDuplicate;
   }
   if (X509_STORE_add_cert(store, cert) == 1) {
      return AddResult::kAdded;
   }
   if (Detail::IsCertAlreadyInStoreError(ERR_peek_last_error())) {
      // Not a failure: keep it out of later error reports.
      ERR_clear_error();
      return AddResult::kDuplicate;
   }
   return AddResult::kFailed;
}

bool IsSpace(char c)
{
   return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void RemoveSpace(std::string &text)
{
   text.erase(std::remove_if(text.begin(), text.end(), IsSpace), text.end());
}

int NoPassword(char *, int, int, void *)
{
   return -1;
}

} // namespace

namespace Detail {

// OpenSSL 1.0.x refused a certificate already in a store with this packed error;
// OpenSSL 3 packs X509_R_CERT_ALREADY_IN_HASH_TABLE without a function code, and in
// fact accepts the duplicate silently, so the store is also searched before adding.
constexpr unsigned long kCertAlreadyInStoreLegacyCode = 0x0B07C065UL;

bool IsCertAlreadyInStoreError(unsigned long code)
{
   return code == kCertAlreadyInStoreLegacyCode ||
          (ERR_GET_LIB(code) == ERR_LIB_X509 &&
           ERR_GET_REASON(code) == X509_R_CERT_ALREADY_IN_HASH_TABLE);
}

BioPtr NewReadBio(const std::string &text)
{
   // OpenSSL's memory BIO takes an int length; no PEM text comes near it.
   if (text.size() > static_cast<size_t>(INT_MAX)) {
      return nullptr;
   }
   BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
   THS_SSL_VERIFY(bio != nullptr);
   return bio;
}

BioPtr NewWriteBio()
{
   BioPtr bio(BIO_new(BIO_s_mem()));
   THS_SSL_VERIFY(bio != nullptr);
   return bio;
}

std::string BioText(BIO *bio)
{
   char *data = nullptr;
   long len = BIO_get_mem_data(bio, &data);
   return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

EvpPkeyPtr PemToPrivateKey(const std::string &pem)
{
   BioPtr bio = NewReadBio(pem);
   if (!bio) {
      return nullptr;
   }
   return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
}

X509ReqPtr PemToRequest(const std::string &pem)
{
   BioPtr bio = NewReadBio(pem);
   if (!bio) {
      return nullptr;
   }
   return X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, NoPassword, nullptr));
}

} // namespace Detail

void LogSslError(const std::string &message)
{
   Log_Level(110, "%s\n", message.c_str());
   unsigned long code;
   while ((code = ERR_get_error()) != 0) {
      char text[256];
      ERR_error_string_n(code, text, sizeof text);
      Log_Level(110, "SSL Error: %s\n", text);
   }
}

X509Ptr PemToX509(const std::string &pem)
{
   BioPtr bio = Detail::NewReadBio(pem);
   if (!bio) {
      return nullptr;
   }
   return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

EvpPkeyPtr PemToPublicKey(const std::string &pem)
{
   BioPtr bio = Detail::NewReadBio(pem);
   if (!bio) {
      return nullptr;
   }
   return EvpPkeyPtr(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

bool StandardizeCertificate(const std::string &beginMarker, const std::string &endMarker,
                            std::string &certificate)
{
   RemoveSpace(certificate);
   std::string begin = beginMarker;
   std::string end = endMarker;
   RemoveSpace(begin);
   RemoveSpace(end);

   size_t pos = certificate.find(begin);
   if (pos == 0) {
      certificate.erase(0, begin.size());
   } else if (pos != std::string::npos) {
      // A few stray characters before the marker mean a damaged paste, not a prefix.
      if (pos <= begin.size()) {
         return false;
      }
      certificate.erase(pos, begin.size());
   }

   pos = certificate.find(end);
   if (pos != std::string::npos) {
      if (pos < certificate.size() - end.size()) {
         return false;
      }
      certificate.erase(pos);
   }

   std::string body;
   body.reserve(certificate.size() + certificate.size() / 64 + 1);
   for (size_t i = 0; i < certificate.size(); ++i) {
      body += certificate[i];
      if ((i + 1) % 64 == 0 || i + 1 == certificate.size()) {
         body += '\n';
      }
   }
   certificate = beginMarker + "\n" + body + endMarker;
   return true;
}

bool ValidateCertChain(const std::vector<std::string> &chain,
                       const std::vector<std::string> &trustedCa, bool allowSelfSignedFirst,
                       bool &duplicateFound)
{
   duplicateFound = false;
   // Stale errors of earlier calls on this thread would be reported as ours.
   ERR_clear_error();
   X509StorePtr store(X509_STORE_new());
   THS_SSL_VERIFY(store != nullptr);

   for (const auto &caText : trustedCa) {
      X509Ptr ca = PemToX509(caText);
      AddResult added = ca ? AddTrusted(store.get(), ca.get()) : AddResult::kFailed;
      if (added == AddResult::kDuplicate) {
         duplicateFound = true;
         Log_Level(115, "CertChain validation: Duplicate CA cert found\n");
      } else if (added == AddResult::kFailed) {
         LogSslError("CertChain validation: Add CA cert to X509 store failed");
         return false;
      }
   }

   for (size_t i = 0; i < chain.size(); ++i) {
      Log_Level(130, "CertChain validation: Validating certChain[%d]\n", static_cast<int>(i));
      X509Ptr cert = PemToX509(chain[i]);
      if (!cert) {
         Log_Level(110, "CertChain validation: Expected valid PEM format string\n");
         ERR_clear_error();
         return false;
      }
      X509StoreCtxPtr ctx(X509_STORE_CTX_new());
      THS_SSL_VERIFY(ctx != nullptr);
      if (X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) {
         LogSslError("CertChain validation: X509 store context init failed");
         return false;
      }
      if (X509_verify_cert(ctx.get()) != 1) {
         int error = X509_STORE_CTX_get_error(ctx.get());
         if (allowSelfSignedFirst && i == 0 && error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT) {
            Log_Level(130, "CertChain validation: Found self signed root cert\n");
         } else {
            Log_Level(110, "X509 store error: %s\n", X509_verify_cert_error_string(error));
            LogSslError("CertChain validation: X509_verify_cert failed");
            return false;
         }
      }
      if (i + 1 < chain.size()) {
         AddResult added = AddTrusted(store.get(), cert.get());
         if (added == AddResult::kDuplicate) {
            duplicateFound = true;
            Log_Level(115, "CertChain validation: Duplicate cert found\n");
         } else if (added == AddResult::kFailed) {
            LogSslError("CertChain validation: Add cert to X509 store failed");
            return false;
         }
      }
   }
   return true;
}

bool ValidateCertChain(const std::vector<std::string> &chain)
{
   bool duplicateFound = false;
   return ValidateCertChain(chain, {}, true, duplicateFound);
}

} // namespace Ths::Common::SslUtils
