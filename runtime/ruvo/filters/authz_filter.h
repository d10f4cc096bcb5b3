// The authorisation layer of a provider chain: the caller the authentication
// layer found must hold every privilege the operation needs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/filters/authz_info.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/provider/direct_enqueuer.h"

namespace Ruvo::Authz {

class EntitlementChecker {
public:
   // True when `caller` holds `privilege`.
   virtual bool IsEntitled(const Core::AuthenticationResult &caller,
                           const std::string &privilege) const = 0;
   virtual ~EntitlementChecker() = default;
};

using EntitlementCheckerPtr = std::shared_ptr<const EntitlementChecker>;

namespace Filter {

class AsyncAuthzFilter : public Core::AsyncApiProvider,
                         public std::enable_shared_from_this<AsyncAuthzFilter> {
public:
   AsyncAuthzFilter(Provider::Enqueuer enqueuer, std::shared_ptr<const AuthzInfo> info,
                    EntitlementCheckerPtr checker, Log::LoggerPtr logger,
                    Core::AsyncApiProviderPtr next)
       : mEnqueuer(std::move(enqueuer)), mInfo(std::move(info)), mChecker(std::move(checker)),
         mLogger(std::move(logger)), mNext(std::move(next))
   {
   }

   std::string GetName() const override { return "AsyncAuthzFilter"; }
   // No authentication result: unauthenticated. An operation the authorization
   // info does not describe, or a privilege the caller lacks: unauthorized.
   void Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
               const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb) override;

private:
   Provider::Enqueuer mEnqueuer;
   std::shared_ptr<const AuthzInfo> mInfo;
   EntitlementCheckerPtr mChecker;
   Log::LoggerPtr mLogger;
   Core::AsyncApiProviderPtr mNext;
};

} // namespace Filter

} // namespace Ruvo::Authz
