// The authentication layer of a provider chain: a token handler decides who the
// caller is before anything below runs.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/log/logger.h"

namespace Ruvo::Authn {

// What a handler found: an error value (the call is refused with it) or an
// authentication result, which may be empty.
struct AuthnOutcome {
   Data::ErrorValuePtr error;
   std::shared_ptr<const Core::AuthenticationResult> result;
};

using AuthnCallback = std::function<void(AuthnOutcome)>;

class TokenHandler {
public:
   // Calls `done` exactly once.
   virtual void Authenticate(const Core::ExecutionContextPtr &context, AuthnCallback done) = 0;
   virtual ~TokenHandler() = default;
};

using TokenHandlerPtr = std::shared_ptr<TokenHandler>;

namespace Filter {

class AsyncAuthnFilter : public Core::AsyncApiProvider,
                         public std::enable_shared_from_this<AsyncAuthnFilter> {
public:
   AsyncAuthnFilter(Core::AsyncApiProviderPtr next, TokenHandlerPtr handler, Log::LoggerPtr logger)
       : mNext(std::move(next)), mHandler(std::move(handler)), mLogger(std::move(logger))
   {
   }

   std::string GetName() const override { return "AsyncAuthnFilter"; }
   void Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
               const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb) override;

private:
   Core::AsyncApiProviderPtr mNext;
   TokenHandlerPtr mHandler;
   Log::LoggerPtr mLogger;
};

} // namespace Filter

} // namespace Ruvo::Authn
