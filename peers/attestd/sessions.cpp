#include "peers/attestd/sessions.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "runtime/tpm2/attest_protocol.h"

namespace Attestd {

Session::~Session()
{
   OPENSSL_cleanse(credential.data(), credential.size());
}

SessionStore::SessionStore(std::chrono::steady_clock::duration lifetime, size_t maxSessions,
                           Clock clock)
    : mLifetime(lifetime), mMaxSessions(maxSessions), mClock(std::move(clock))
{
   if (!mClock) {
      mClock = [] { return std::chrono::steady_clock::now(); };
   }
}

void SessionStore::DropExpired(std::chrono::steady_clock::time_point now)
{
   for (auto it = mSessions.begin(); it != mSessions.end();) {
      it = it->second->deadline <= now ? mSessions.erase(it) : std::next(it);
   }
}

std::unique_ptr<Session> SessionStore::Open()
{
   const auto now = mClock();
   std::lock_guard<std::mutex> guard(mLock);
   DropExpired(now);
   if (mSessions.size() >= mMaxSessions) {
      return nullptr;
   }
   auto session = std::make_unique<Session>();
   session->id.resize(AttestLib::Tpm2::Protocol::kSessionIdBytes);
   if (RAND_bytes(session->id.data(), static_cast<int>(session->id.size())) != 1) {
      return nullptr;
   }
   session->deadline = now + mLifetime;
   return session;
}

void SessionStore::Put(std::unique_ptr<Session> session)
{
   std::lock_guard<std::mutex> guard(mLock);
   // The deadline stays the one set at Open: a session cannot be kept alive.
   auto id = session->id;
   mSessions[id] = std::move(session);
}

std::unique_ptr<Session> SessionStore::Take(const std::vector<uint8_t> &id)
{
   const auto now = mClock();
   std::lock_guard<std::mutex> guard(mLock);
   DropExpired(now);
   auto it = mSessions.find(id);
   if (it == mSessions.end()) {
      return nullptr;
   }
   std::unique_ptr<Session> session = std::move(it->second);
   mSessions.erase(it);
   return session;
}

size_t SessionStore::Size()
{
   std::lock_guard<std::mutex> guard(mLock);
   return mSessions.size();
}

} // namespace Attestd
