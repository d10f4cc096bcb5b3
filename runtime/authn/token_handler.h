// Authenticates management API callers by their OAuth access token: an ES256 JWT
// signed with the host's API key, for this API's audience, valid now.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/authn/api_token.h"
#include "runtime/authn/es256.h"
#include "runtime/ruvo/filters/authn_filter.h"
#include "runtime/ruvo/log/logger.h"

namespace Brim::Authn {

// Seconds since the epoch.
using WallClock = std::function<int64_t()>;
int64_t SystemSeconds();

class TokenHandler : public Ruvo::Authn::TokenHandler {
public:
   TokenHandler(EcKeyPtr publicKey, Ruvo::Log::LoggerPtr logger, WallClock clock = SystemSeconds);

   // The key from a PEM public key file; nullptr, with the reason, when it cannot be read.
   static std::shared_ptr<TokenHandler>
   FromKeyFile(const std::string &path, Ruvo::Log::LoggerPtr logger, std::string &error);

   void Authenticate(const Ruvo::Core::ExecutionContextPtr &context,
                     Ruvo::Authn::AuthnCallback done) override;

   // The synchronous body: an error value (unauthenticated) or the caller.
   Ruvo::Authn::AuthnOutcome Check(const Ruvo::Core::SecurityContext &security) const;

private:
   EcKeyPtr mKey;
   Ruvo::Log::LoggerPtr mLogger;
   WallClock mClock;
};

} // namespace Brim::Authn
