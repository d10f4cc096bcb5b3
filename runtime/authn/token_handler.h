// Authenticates management API callers by their OAuth access token: an ES256 JWT
// signed with the host's API key, for this API's audience, valid now.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/authn/api_token.h"
#include "runtime/authn/es256.h"
#include "runtime/authn/verified_tokens.h"
#include "runtime/ruvo/filters/authn_filter.h"
#include "runtime/ruvo/log/logger.h"

namespace Brim::Authn {

// Seconds since the epoch.
using WallClock = std::function<int64_t()>;
int64_t SystemSeconds();

class TokenHandler : public Ruvo::Authn::TokenHandler {
public:
   // How many verified tokens are remembered: far more than the callers one host has.
   static constexpr size_t kVerifiedTokenCapacity = 1024;

   TokenHandler(EcKeyPtr publicKey, Ruvo::Log::LoggerPtr logger, WallClock clock = SystemSeconds,
                size_t verifiedTokenCapacity = kVerifiedTokenCapacity);

   // The key from a PEM public key file; nullptr, with the reason, when it cannot be read.
   static std::shared_ptr<TokenHandler>
   FromKeyFile(const std::string &path, Ruvo::Log::LoggerPtr logger, std::string &error);

   void Authenticate(const Ruvo::Core::ExecutionContextPtr &context,
                     Ruvo::Authn::AuthnCallback done) override;

   // The synchronous body: an error value (unauthenticated) or the caller.
   Ruvo::Authn::AuthnOutcome Check(const Ruvo::Core::SecurityContext &security) const;

   size_t VerifiedTokenCount() const { return mVerified.Size(); }

private:
   // One refusal line per second at most, with the count of those held back, so
   // that a caller sending bad tokens cannot flood the log.
   void LogRefusal(const std::string &reason) const;

   EcKeyPtr mKey;
   Ruvo::Log::LoggerPtr mLogger;
   WallClock mClock;
   // The signature checks already made; every hit still applies exp and nbf.
   mutable VerifiedTokens mVerified;
   mutable std::mutex mLogLock;
   mutable std::chrono::steady_clock::time_point mLastLine; // guarded by mLogLock
   mutable bool mLogged = false;                            // guarded by mLogLock
   mutable uint64_t mSuppressed = 0;                        // guarded by mLogLock
};

} // namespace Brim::Authn
