#include "runtime/ruvo/filters/authn_filter.h"

namespace Ruvo::Authn::Filter {

void AsyncAuthnFilter::Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                              const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb)
{
   Core::ExecutionContextPtr ctx = context ? context : std::make_shared<Core::ExecutionContext>();
   if (ctx->GetAuthenticationResult()) {
      mNext->Invoke(method, input, ctx, std::move(cb));
      return;
   }
   std::shared_ptr<AsyncAuthnFilter> self = shared_from_this();
   mHandler->Authenticate(ctx, [self, method, input, ctx,
                                cb = std::move(cb)](AuthnOutcome outcome) {
      if (outcome.error) {
         Log::Write(self->mLogger, Log::kDebug, "AsyncAuthnFilter: refused ", method.ToString());
         cb(Core::MethodResult::GetErrorInstance(outcome.error), {}, {});
         return;
      }
      ctx->SetAuthenticationResult(std::move(outcome.result));
      self->mNext->Invoke(method, input, ctx, cb);
   });
}

} // namespace Ruvo::Authn::Filter
