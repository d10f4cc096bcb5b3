#include "runtime/ruvo/provider/local_provider.h"

namespace Ruvo::Provider {

std::shared_ptr<AsyncLocalProvider> AsyncLocalProvider::Create(
   const std::vector<Core::ApiInterfacePtr> &bindings, Enqueuer enqueuer, Log::LoggerPtr logger,
   std::vector<BaseMessage> *refused)
{
   std::shared_ptr<AsyncLocalProvider> provider(
      new AsyncLocalProvider(std::move(enqueuer), std::move(logger)));
   for (const auto &binding : bindings) {
      std::vector<BaseMessage> messages;
      if (!provider->AddInterface(binding, messages) && refused != nullptr) {
         refused->insert(refused->end(), messages.begin(), messages.end());
      }
   }
   return provider;
}

bool AsyncLocalProvider::AddInterface(const Core::ApiInterfacePtr &binding,
                                      std::vector<BaseMessage> &messages)
{
   size_t before = messages.size();
   if (mInterfaces.Insert(binding, messages)) {
      return true;
   }
   for (size_t i = before; i < messages.size(); ++i) {
      Log::Write(mLogger, Log::kWarning, "AsyncLocalProvider: ", messages[i].ToString());
   }
   return false;
}

void AsyncLocalProvider::Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                                const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb)
{
   std::shared_ptr<const AsyncLocalProvider> self = shared_from_this();
   mEnqueuer([self, method, input, context, cb = std::move(cb)] {
      self->Dispatch(method, input, context, cb);
   });
}

void AsyncLocalProvider::Dispatch(const Core::MethodIdentifier &method,
                                  const Data::DataValuePtr &input,
                                  const Core::ExecutionContextPtr &context,
                                  const Core::AsyncApiResultCb &cb) const
{
   std::vector<BaseMessage> messages;
   std::shared_ptr<const Core::ApiOperation> operation;
   Core::ApiInterfacePtr binding = mInterfaces.Find(method.GetInterfaceId());
   if (!binding) {
      messages.push_back(CoreMessage::Make(MessageIds::kInterfaceUnknown, {method.GetInterfaceId()}));
   } else {
      operation = binding->FindOperation(method.GetOperation(), messages);
   }
   if (!operation) {
      Log::Write(mLogger, Log::kDebug, "AsyncLocalProvider: no operation ", method.ToString());
      cb(Core::MethodResult::GetErrorInstance(Data::StdErrors::Make(
            Data::StdErrors::kOperationNotFound, messages, "OPERATION_NOT_FOUND")),
         {}, {});
      return;
   }
   operation->Invoke(context ? context : std::make_shared<Core::ExecutionContext>(), input, cb);
}

} // namespace Ruvo::Provider
