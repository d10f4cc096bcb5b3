#include "runtime/authn/entitlement_checker.h"

#include <algorithm>

namespace BrimToken::Authz {

bool JwtEntitlementCheckerImpl::IsEntitled(const Ruvo::Core::AuthenticationResult &caller,
                                           const std::string &privilege) const
{
   if (caller.schemeId != Ruvo::Core::kOAuthSchemeId) {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kWarning,
                       "JwtEntitlementChecker: caller not authenticated by token");
      return false;
   }
   bool held = !privilege.empty() && std::find(caller.privileges.begin(), caller.privileges.end(),
                                               privilege) != caller.privileges.end();
   if (!held) {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, "JwtEntitlementChecker: privilege ", privilege,
                       " not held");
   }
   return held;
}

} // namespace BrimToken::Authz
