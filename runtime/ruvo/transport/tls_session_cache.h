// Process-wide store of TLS 1.2 client sessions (tickets or session ids), so that
// repeated connections to the same service skip the full handshake. A session is
// filed under the host, the port and a digest of the trusted CA texts: a client
// built with another trust root never offers a session verified under the old one.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <openssl/ssl.h>

namespace Ruvo::Security::Openssl {

// SHA-256 (hex) over the CA texts, each prefixed by its length so that no two
// different lists share a digest.
std::string TrustDigest(const std::vector<std::string> &trustedCas);

class TlsSessionCache {
public:
   using Clock = std::chrono::steady_clock;
   static constexpr size_t kMaxEntries = 10000;
   static constexpr std::chrono::seconds kMaxLifetime{3600};

   static TlsSessionCache &Instance();

   explicit TlsSessionCache(size_t maxEntries = kMaxEntries);
   ~TlsSessionCache();
   TlsSessionCache(const TlsSessionCache &) = delete;
   TlsSessionCache &operator=(const TlsSessionCache &) = delete;

   static std::string Key(const std::string &host, uint16_t port, const std::string &trustDigest);

   // A copy of the session stored under key, made under the cache's lock (the
   // caller frees it), or null. An expired entry is dropped. A copy, not a shared
   // reference: the stored session is then only ever touched under the lock, and
   // a connection's end never retires the stored one.
   SSL_SESSION *Get(const std::string &key, Clock::time_point now = Clock::now());
   // Stores (replaces) the session under key, taking a reference of its own; kept
   // for lifetime, at most kMaxLifetime. When full, the oldest stored entry goes.
   void Put(const std::string &key, SSL_SESSION *session, std::chrono::seconds lifetime,
            Clock::time_point now = Clock::now());
   void Erase(const std::string &key);
   size_t Size() const;
   void Clear();

private:
   struct Entry {
      SSL_SESSION *session;
      Clock::time_point expires;
      std::list<std::string>::iterator order;
   };
   void EraseLocked(std::unordered_map<std::string, Entry>::iterator it);

   const size_t mMaxEntries;
   mutable std::mutex mMutex;
   std::unordered_map<std::string, Entry> mEntries;
   std::list<std::string> mOrder; // oldest stored first
};

// How long a fresh session may be offered: the server's ticket lifetime hint
// when it gave one, and never beyond the cache's limit.
std::chrono::seconds SessionLifetime(const SSL_SESSION *session);

} // namespace Ruvo::Security::Openssl
