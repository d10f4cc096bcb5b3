#include "runtime/ruvo/filters/authz_filter.h"

namespace Ruvo::Authz::Filter {

namespace {

void Refuse(const Core::AsyncApiResultCb &cb, const char *name, const char *type,
            BaseMessage message)
{
   cb(Core::MethodResult::GetErrorInstance(Data::StdErrors::Make(name, {std::move(message)}, type)),
      {}, {});
}

} // namespace

void AsyncAuthzFilter::Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                              const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb)
{
   std::shared_ptr<AsyncAuthzFilter> self = shared_from_this();
   mEnqueuer([self, method, input, context, cb = std::move(cb)] {
      const Core::AuthenticationResult *caller =
          context ? context->GetAuthenticationResult().get() : nullptr;
      if (caller == nullptr) {
         Refuse(cb, Data::StdErrors::kUnauthenticated, "UNAUTHENTICATED",
                BaseMessage("ruvo.authz.unauthenticated", "The caller is not authenticated."));
         return;
      }
      std::string text = method.ToString();
      const std::vector<std::string> *needed = self->mInfo->RequiredPrivileges(text);
      if (needed == nullptr) {
         // An operation nobody described is nobody's to call.
         Log::Write(self->mLogger, Log::kWarning,
                    "AsyncAuthzFilter: no authorization metadata for ", text);
         Refuse(cb, Data::StdErrors::kUnauthorized, "UNAUTHORIZED",
                BaseMessage("ruvo.authz.operation.undescribed",
                            "The operation {1} has no authorization metadata.", {text}));
         return;
      }
      for (const auto &privilege : *needed) {
         if (!self->mChecker->IsEntitled(*caller, privilege)) {
            Log::Write(self->mLogger, Log::kInfo, "AsyncAuthzFilter: ", text, " needs privilege ",
                       privilege);
            Refuse(cb, Data::StdErrors::kUnauthorized, "UNAUTHORIZED",
                   BaseMessage("ruvo.authz.privilege.missing",
                               "The operation {1} needs the privilege {2}.", {text, privilege}));
            return;
         }
      }
      self->mNext->Invoke(method, input, context, cb);
   });
}

} // namespace Ruvo::Authz::Filter
