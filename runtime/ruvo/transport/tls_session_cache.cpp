#include "runtime/ruvo/transport/tls_session_cache.h"

#include <algorithm>

#include <openssl/evp.h>

namespace Ruvo::Security::Openssl {

std::string TrustDigest(const std::vector<std::string> &trustedCas)
{
   EVP_MD_CTX *md = EVP_MD_CTX_new();
   unsigned char digest[EVP_MAX_MD_SIZE];
   unsigned int length = 0;
   bool ok = md != nullptr && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1;
   for (const std::string &pem : trustedCas) {
      const std::string size = std::to_string(pem.size()) + ":";
      ok = ok && EVP_DigestUpdate(md, size.data(), size.size()) == 1 &&
           EVP_DigestUpdate(md, pem.data(), pem.size()) == 1;
   }
   ok = ok && EVP_DigestFinal_ex(md, digest, &length) == 1;
   EVP_MD_CTX_free(md);
   if (!ok) {
      // No digest means no resumption, never a shared one.
      return "";
   }
   static constexpr char kHex[] = "0123456789abcdef";
   std::string hex;
   hex.reserve(length * 2);
   for (unsigned int i = 0; i < length; ++i) {
      hex += kHex[digest[i] >> 4];
      hex += kHex[digest[i] & 0xf];
   }
   return hex;
}

TlsSessionCache &TlsSessionCache::Instance()
{
   // Never destroyed: connections may still finish while the process exits.
   static auto *cache = new TlsSessionCache();
   return *cache;
}

TlsSessionCache::TlsSessionCache(size_t maxEntries) : mMaxEntries(std::max<size_t>(maxEntries, 1))
{
}

TlsSessionCache::~TlsSessionCache()
{
   Clear();
}

std::string TlsSessionCache::Key(const std::string &host, uint16_t port,
                                 const std::string &trustDigest)
{
   // The host never holds a space (it is a checked name or address literal).
   return host + " " + std::to_string(port) + " " + trustDigest;
}

SSL_SESSION *TlsSessionCache::Get(const std::string &key, Clock::time_point now)
{
   std::lock_guard<std::mutex> lock(mMutex);
   auto it = mEntries.find(key);
   if (it == mEntries.end()) {
      return nullptr;
   }
   if (now >= it->second.expires) {
      EraseLocked(it);
      return nullptr;
   }
   return SSL_SESSION_dup(it->second.session);
}

void TlsSessionCache::Put(const std::string &key, SSL_SESSION *session,
                          std::chrono::seconds lifetime, Clock::time_point now)
{
   if (session == nullptr || lifetime <= std::chrono::seconds(0)) {
      return;
   }
   lifetime = std::min(lifetime, kMaxLifetime);
   SSL_SESSION_up_ref(session);
   std::lock_guard<std::mutex> lock(mMutex);
   auto it = mEntries.find(key);
   if (it != mEntries.end()) {
      EraseLocked(it);
   }
   while (mEntries.size() >= mMaxEntries) {
      EraseLocked(mEntries.find(mOrder.front()));
   }
   mOrder.push_back(key);
   mEntries.emplace(key, Entry{session, now + lifetime, std::prev(mOrder.end())});
}

void TlsSessionCache::Erase(const std::string &key)
{
   std::lock_guard<std::mutex> lock(mMutex);
   auto it = mEntries.find(key);
   if (it != mEntries.end()) {
      EraseLocked(it);
   }
}

size_t TlsSessionCache::Size() const
{
   std::lock_guard<std::mutex> lock(mMutex);
   return mEntries.size();
}

void TlsSessionCache::Clear()
{
   std::lock_guard<std::mutex> lock(mMutex);
   while (!mEntries.empty()) {
      EraseLocked(mEntries.begin());
   }
}

void TlsSessionCache::EraseLocked(std::unordered_map<std::string, Entry>::iterator it)
{
   SSL_SESSION_free(it->second.session);
   mOrder.erase(it->second.order);
   mEntries.erase(it);
}

std::chrono::seconds SessionLifetime(const SSL_SESSION *session)
{
   const unsigned long hint = SSL_SESSION_get_ticket_lifetime_hint(session);
   if (hint == 0) {
      return TlsSessionCache::kMaxLifetime;
   }
   return std::chrono::seconds(
       std::min<unsigned long>(hint, TlsSessionCache::kMaxLifetime.count()));
}

} // namespace Ruvo::Security::Openssl
