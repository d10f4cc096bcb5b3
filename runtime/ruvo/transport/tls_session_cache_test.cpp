#include "runtime/ruvo/transport/tls_session_cache.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Ruvo::Security::Openssl::TlsSessionCache;
using namespace std::chrono_literals;

struct Session {
   SSL_SESSION *ptr = [] {
      SSL_SESSION *s = SSL_SESSION_new();
      const unsigned char id[] = "session-id";
      SSL_SESSION_set1_id(s, id, sizeof id);
      return s;
   }();
   ~Session() { SSL_SESSION_free(ptr); }
};

// The stored session comes back as a copy of its own: same id, another object.
bool IsCopyOf(const SSL_SESSION *got, const SSL_SESSION *stored)
{
   unsigned int gotLength = 0;
   unsigned int storedLength = 0;
   const unsigned char *gotId = SSL_SESSION_get_id(got, &gotLength);
   const unsigned char *storedId = SSL_SESSION_get_id(stored, &storedLength);
   return got != nullptr && got != stored && gotLength == storedLength &&
          std::equal(gotId, gotId + gotLength, storedId);
}

TEST(TlsSessionCacheTest, KeyedByHostPortAndTrust)
{
   using Ruvo::Security::Openssl::TrustDigest;
   EXPECT_NE(TrustDigest({"ab", "c"}), TrustDigest({"a", "bc"}));
   EXPECT_NE(TrustDigest({"a"}), TrustDigest({"a", ""}));
   EXPECT_EQ(TrustDigest({"a"}).size(), 64u);
   EXPECT_NE(TlsSessionCache::Key("h", 1, "d"), TlsSessionCache::Key("h", 2, "d"));
}

TEST(TlsSessionCacheTest, ExpiresAtTheLifetimeCappedToAnHour)
{
   TlsSessionCache cache;
   Session session;
   const auto now = TlsSessionCache::Clock::now();
   cache.Put("short", session.ptr, 10s, now);
   cache.Put("long", session.ptr, 5h, now);
   cache.Put("none", session.ptr, 0s, now);
   EXPECT_EQ(cache.Size(), 2u);
   SSL_SESSION *got = cache.Get("short", now + 9s);
   EXPECT_TRUE(IsCopyOf(got, session.ptr));
   SSL_SESSION_free(got);
   EXPECT_EQ(cache.Get("short", now + 10s), nullptr);
   got = cache.Get("long", now + 3599s);
   EXPECT_TRUE(IsCopyOf(got, session.ptr));
   SSL_SESSION_free(got);
   EXPECT_EQ(cache.Get("long", now + 3600s), nullptr);
   EXPECT_EQ(cache.Size(), 0u);
}

TEST(TlsSessionCacheTest, TenThousandHostsOldestOut)
{
   TlsSessionCache cache;
   Session session;
   for (int i = 0; i <= 10000; ++i) {
      cache.Put("host" + std::to_string(i), session.ptr, 60s);
   }
   EXPECT_EQ(cache.Size(), TlsSessionCache::kMaxEntries);
   EXPECT_EQ(cache.Get("host0"), nullptr);
   // Storing again under a present key replaces it and evicts nothing.
   cache.Put("host1", session.ptr, 60s);
   EXPECT_EQ(cache.Size(), TlsSessionCache::kMaxEntries);
   for (const char *key : {"host1", "host2", "host10000"}) {
      SSL_SESSION *got = cache.Get(key);
      EXPECT_NE(got, nullptr) << key;
      SSL_SESSION_free(got);
   }
   // host1 was stored last, so host2 is now the oldest.
   cache.Put("new", session.ptr, 60s);
   EXPECT_EQ(cache.Get("host2"), nullptr);
   cache.Clear();
   EXPECT_EQ(cache.Size(), 0u);
}

} // namespace
