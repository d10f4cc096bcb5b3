#include "runtime/ruvo/transport/tls_ticket_keys.h"

#include <cstring>
#include <mutex>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace Ruvo::Security::Openssl {
namespace {

using Clock = std::chrono::steady_clock;

struct TicketKey {
   unsigned char name[16];
   unsigned char aes[32];
   unsigned char hmac[32];
};

struct TicketKeyRing {
   std::mutex mutex;
   std::chrono::seconds rotation;
   TicketKey current{};
   TicketKey previous{};
   bool hasPrevious = false;
   Clock::time_point rotatedAt;

   bool Fresh(TicketKey &key)
   {
      return RAND_bytes(reinterpret_cast<unsigned char *>(&key), sizeof key) == 1;
   }

   // Under the mutex. A failed draw keeps the old key rather than a weak one.
   void RotateIfDue()
   {
      const auto now = Clock::now();
      if (now - rotatedAt < rotation) {
         return;
      }
      TicketKey next;
      if (!Fresh(next)) {
         return;
      }
      // After a quiet spell of two periods or more the current key is retired too.
      hasPrevious = now - rotatedAt < 2 * rotation;
      previous = current;
      current = next;
      rotatedAt = now;
   }
};

void FreeRing(void *, void *ptr, CRYPTO_EX_DATA *, int, long, void *)
{
   delete static_cast<TicketKeyRing *>(ptr);
}

int RingIndex()
{
   static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeRing);
   return index;
}

bool SetKeys(const TicketKey &key, unsigned char *iv, EVP_CIPHER_CTX *cipher, EVP_MAC_CTX *mac,
             int enc)
{
   OSSL_PARAM params[] = {
       OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, const_cast<unsigned char *>(key.hmac),
                                         sizeof key.hmac),
       OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
       OSSL_PARAM_construct_end()};
   if (EVP_MAC_CTX_set_params(mac, params) != 1) {
      return false;
   }
   return enc ? EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.aes, iv) == 1
              : EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.aes, iv) == 1;
}

int TicketKeyCallback(SSL *ssl, unsigned char *keyName, unsigned char *iv, EVP_CIPHER_CTX *cipher,
                      EVP_MAC_CTX *mac, int enc)
{
   auto *ring =
       static_cast<TicketKeyRing *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), RingIndex()));
   if (ring == nullptr) {
      return enc ? -1 : 0;
   }
   std::lock_guard<std::mutex> lock(ring->mutex);
   ring->RotateIfDue();
   if (enc) {
      if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1) {
         return -1;
      }
      std::memcpy(keyName, ring->current.name, sizeof ring->current.name);
      return SetKeys(ring->current, iv, cipher, mac, 1) ? 1 : -1;
   }
   if (std::memcmp(keyName, ring->current.name, sizeof ring->current.name) == 0) {
      return SetKeys(ring->current, iv, cipher, mac, 0) ? 1 : 0;
   }
   if (ring->hasPrevious &&
       std::memcmp(keyName, ring->previous.name, sizeof ring->previous.name) == 0) {
      return SetKeys(ring->previous, iv, cipher, mac, 0) ? 2 : 0;
   }
   // Unknown or retired key: a full handshake.
   return 0;
}

} // namespace

bool EnableRotatingTickets(SSL_CTX *ctx, std::chrono::seconds rotation)
{
   const int index = RingIndex();
   if (index < 0) {
      return false;
   }
   if (SSL_CTX_get_ex_data(ctx, index) != nullptr) {
      return true;
   }
   auto *ring = new TicketKeyRing();
   ring->rotation = rotation;
   ring->rotatedAt = Clock::now();
   if (!ring->Fresh(ring->current) || SSL_CTX_set_ex_data(ctx, index, ring) != 1) {
      delete ring;
      return false;
   }
   SSL_CTX_clear_options(ctx, SSL_OP_NO_TICKET);
   // The lifetime hint sent with each ticket.
   SSL_CTX_set_timeout(ctx, static_cast<long>(rotation.count()));
   return SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, TicketKeyCallback) == 1;
}

} // namespace Ruvo::Security::Openssl
