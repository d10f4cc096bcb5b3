#include "tools/zarnactl/cert_summary.h"

#include <climits>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace Zarnactl {
namespace {

struct BioFree {
   void operator()(BIO *b) const { BIO_free(b); }
};
struct X509Free {
   void operator()(X509 *x) const { X509_free(x); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string DrainBio(BIO *bio)
{
   char *data = nullptr;
   long len = BIO_get_mem_data(bio, &data);
   return len > 0 && data != nullptr ? std::string(data, static_cast<size_t>(len)) : std::string();
}

std::string NameText(const X509_NAME *name)
{
   BioPtr bio(BIO_new(BIO_s_mem()));
   if (!bio || name == nullptr || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE) < 0) {
      return {};
   }
   return DrainBio(bio.get());
}

} // namespace

bool SummarizeCertificate(const std::string &pem, CertSummary &out)
{
   if (pem.size() > INT_MAX) {
      return false;
   }
   BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
   if (!in) {
      return false;
   }
   std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
   // The error queue is per thread; leave it clean for whoever calls OpenSSL next.
   ERR_clear_error();
   if (!cert) {
      return false;
   }
   CertSummary summary;
   summary.subject = NameText(X509_get_subject_name(cert.get()));
   summary.issuer = NameText(X509_get_issuer_name(cert.get()));
   BioPtr time(BIO_new(BIO_s_mem()));
   if (time && ASN1_TIME_print(time.get(), X509_get0_notAfter(cert.get())) == 1) {
      summary.notAfter = DrainBio(time.get());
   }
   out = std::move(summary);
   return true;
}

} // namespace Zarnactl
