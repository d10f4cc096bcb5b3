#include "runtime/ruvo/transport/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <deque>
#include <map>
#include <mutex>

#include "runtime/hostlib/log.h"
#include "runtime/ruvo/transport/tls_session_cache.h"
#include "runtime/ruvo/transport/tls_ticket_keys.h"

namespace Ruvo::Security::Openssl {

void RefuseResumption(boost::asio::ssl::context &server)
{
   SSL_CTX_set_options(server.native_handle(), SSL_OP_NO_TICKET);
   SSL_CTX_set_session_cache_mode(server.native_handle(), SSL_SESS_CACHE_OFF);
}

std::string PendingOpensslError()
{
   unsigned long err = ERR_peek_error();
   if (err == 0) {
      return "";
   }
   char text[256];
   ERR_error_string_n(err, text, sizeof text);
   return text;
}

namespace {

// Adds every certificate of one PEM text; false only when the store refused one
// with an OpenSSL error.
bool AddPemCertificates(X509_STORE *store, const std::string &pem)
{
   ERR_clear_error();
   BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
   if (bio == nullptr) {
      return true;
   }
   bool ok = true;
   while (X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
      // OpenSSL caches a certificate's extensions on first use, during a chain
      // check; a shared context checks chains on many threads at once, and some of
      // those read the cache while another fills it. Filled here, before the
      // context is shared, it is only ever read.
      (void)X509_check_purpose(cert, -1, 0);
      if (X509_STORE_add_cert(store, cert) != 1 && ERR_peek_error() != 0) {
         Log_Level(110, "Error adding CA to setup TlsContext: %s\n", PendingOpensslError().c_str());
         ok = false;
      }
      X509_free(cert);
      if (!ok) {
         break;
      }
   }
   BIO_free(bio);
   // The reader's end-of-input error is expected; leave no residue for later calls.
   ERR_clear_error();
   return ok;
}

void FreeDigest(void *, void *ptr, CRYPTO_EX_DATA *, int, long, void *)
{
   delete static_cast<std::string *>(ptr);
}

int DigestIndex()
{
   static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeDigest);
   return index;
}

} // namespace

std::string ClientTrustDigest(SSL_CTX *ctx)
{
   const int index = DigestIndex();
   const auto *digest = index < 0 ? nullptr : static_cast<const std::string *>(SSL_CTX_get_ex_data(ctx, index));
   return digest == nullptr ? "" : *digest;
}

namespace {

std::shared_ptr<boost::asio::ssl::context> BuildClientTlsContext(const std::vector<std::string> &trustedCas,
                                                                 std::string digest)
{
   namespace ssl = boost::asio::ssl;
   auto ctx = std::make_shared<ssl::context>(ssl::context::tls);
   SSL_CTX *native = ctx->native_handle();
   ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                    ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use |
                    SSL_OP_NO_COMPRESSION);
   ctx->set_options(SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
   // TLS 1.3 postdates the option list above; the client speaks TLS 1.2 only.
   SSL_CTX_set_max_proto_version(native, TLS1_2_VERSION);
   SSL_CTX_set_mode(native, SSL_MODE_AUTO_RETRY);
   // Sessions are kept by the connector, in the process-wide cache, only after
   // a verified handshake; OpenSSL's own client store stays off.
   SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
   SSL_CTX_set_quiet_shutdown(native, 1);
   if (SSL_CTX_set_cipher_list(native, kCipherList) != 1 || SSL_CTX_set1_curves_list(native, kCurves) != 1) {
      Log_Level(110, "Error configuring TlsContext: %s\n", PendingOpensslError().c_str());
      return nullptr;
   }
   SSL_CTX_set_ecdh_auto(native, 1);
   X509_STORE *store = SSL_CTX_get_cert_store(native);
   for (const std::string &pem : trustedCas) {
      if (!AddPemCertificates(store, pem)) {
         return nullptr;
      }
   }
   ctx->set_verify_mode(ssl::verify_peer);
   const int index = DigestIndex();
   if (!digest.empty() && index >= 0) {
      auto *held = new std::string(std::move(digest));
      if (SSL_CTX_set_ex_data(native, index, held) != 1) {
         delete held;
      }
   }
   return ctx;
}

// Built contexts by trust digest. A context is never changed once built and
// OpenSSL makes connections from one context on any thread, so each operation
// need not pay for building one.
struct ClientContexts {
   static constexpr size_t kKept = 64;
   std::mutex lock;
   std::map<std::string, std::shared_ptr<boost::asio::ssl::context>> byDigest;
   std::deque<std::string> order; // oldest first
};

ClientContexts &KeptClientContexts()
{
   // Never destroyed: freeing contexts after OpenSSL's own exit clean-up would crash.
   static auto *kept = new ClientContexts();
   return *kept;
}

} // namespace

std::shared_ptr<boost::asio::ssl::context> CreateClientTlsContext(const std::vector<std::string> &trustedCas)
{
   const std::string digest = TrustDigest(trustedCas);
   ClientContexts &kept = KeptClientContexts();
   if (!digest.empty()) {
      std::lock_guard<std::mutex> lock(kept.lock);
      auto it = kept.byDigest.find(digest);
      if (it != kept.byDigest.end()) {
         return it->second;
      }
   }
   auto ctx = BuildClientTlsContext(trustedCas, digest);
   if (ctx && !digest.empty()) {
      std::lock_guard<std::mutex> lock(kept.lock);
      if (kept.byDigest.emplace(digest, ctx).second) {
         kept.order.push_back(digest);
         if (kept.order.size() > ClientContexts::kKept) {
            kept.byDigest.erase(kept.order.front());
            kept.order.pop_front();
         }
      }
   }
   return ctx;
}

std::shared_ptr<boost::asio::ssl::context> CreateServerTlsContext(const std::string &certChainFile,
                                                                  const std::string &privateKeyFile,
                                                                  std::string &error)
{
   namespace ssl = boost::asio::ssl;
   auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
   SSL_CTX *native = ctx->native_handle();
   ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                    ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use |
                    SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
   SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
   ERR_clear_error();
   if (SSL_CTX_set_cipher_list(native, kCipherList) != 1 || SSL_CTX_set1_curves_list(native, kCurves) != 1) {
      error = "cannot set ciphers: " + PendingOpensslError();
      return nullptr;
   }
   if (SSL_CTX_use_certificate_chain_file(native, certChainFile.c_str()) != 1) {
      error = "cannot load certificate chain " + certChainFile + ": " + PendingOpensslError();
      ERR_clear_error();
      return nullptr;
   }
   if (SSL_CTX_use_PrivateKey_file(native, privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      error = "cannot load private key " + privateKeyFile + ": " + PendingOpensslError();
      ERR_clear_error();
      return nullptr;
   }
   if (SSL_CTX_check_private_key(native) != 1) {
      error = "private key does not match the certificate: " + PendingOpensslError();
      ERR_clear_error();
      return nullptr;
   }
   if (!EnableRotatingTickets(native)) {
      // Clients then resume by session id, or not at all: never a failed start.
      SSL_CTX_set_options(native, SSL_OP_NO_TICKET);
      ERR_clear_error();
   }
   return ctx;
}

} // namespace Ruvo::Security::Openssl
