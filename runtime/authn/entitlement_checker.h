// Decides authorisation for callers authenticated by an API token: the token's
// privileges claim must list the privilege.
#pragma once

#include <string>

#include "runtime/ruvo/filters/authz_filter.h"
#include "runtime/ruvo/log/logger.h"

namespace BrimToken::Authz {

class JwtEntitlementCheckerImpl : public Ruvo::Authz::EntitlementChecker {
public:
   explicit JwtEntitlementCheckerImpl(Ruvo::Log::LoggerPtr logger) : mLogger(std::move(logger)) {}

   // Only callers of the OAuth scheme hold token privileges.
   bool IsEntitled(const Ruvo::Core::AuthenticationResult &caller,
                   const std::string &privilege) const override;

private:
   Ruvo::Log::LoggerPtr mLogger;
};

} // namespace BrimToken::Authz
