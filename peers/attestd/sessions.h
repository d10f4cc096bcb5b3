// Handshakes in progress. Every call of the exchange is a new connection, so
// the state between calls lives here, for a limited time and in limited number.
// A session is taken out for each step and put back only when the step passed:
// a failed step, a replayed message or a second use finds nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <tss2/tss2_tpm2_types.h>

#include "peers/attestd/identity.h"

namespace Attestd {

struct Session {
   enum class Step { AwaitAkPublic, AwaitEvidence };
   using Bytes = std::vector<uint8_t>;

   Bytes id;
   Step step = Step::AwaitAkPublic;
   std::string identityText; // as the first request carried it
   EkIdentity ek;
   TPMT_PUBLIC ak{};
   Bytes credential; // the secret only the EK's TPM can recover
   Bytes nonce;
   TPML_PCR_SELECTION selection{};
   std::chrono::steady_clock::time_point deadline;
   // Time attestd itself spent on the session's steps (for its log line).
   std::chrono::steady_clock::duration work{};
   ~Session();
};

class SessionStore {
public:
   using Clock = std::function<std::chrono::steady_clock::time_point()>;

   SessionStore(std::chrono::steady_clock::duration lifetime, size_t maxSessions, Clock clock = {});

   // A new session with a fresh random id; null when the store is full.
   std::unique_ptr<Session> Open();
   void Put(std::unique_ptr<Session> session);
   // Removes and returns the live session of that id; null when unknown or expired.
   std::unique_ptr<Session> Take(const std::vector<uint8_t> &id);
   size_t Size();

private:
   void DropExpired(std::chrono::steady_clock::time_point now);

   const std::chrono::steady_clock::duration mLifetime;
   const size_t mMaxSessions;
   Clock mClock;
   std::mutex mLock;
   std::map<std::vector<uint8_t>, std::unique_ptr<Session>> mSessions; // guarded by mLock
};

} // namespace Attestd
