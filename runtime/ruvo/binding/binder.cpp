#include "runtime/ruvo/binding/binder.h"

namespace Ruvo::Binding {

std::shared_ptr<const Core::ApiOperation> BoundInterface::FindOperation(
   const std::string &operation, std::vector<BaseMessage> &messages) const
{
   auto it = mOperations.find(operation);
   if (it == mOperations.end()) {
      messages.push_back(CoreMessage::Make(MessageIds::kOperationUnknown, {operation, mId}));
      return nullptr;
   }
   return it->second;
}

namespace Detail {

void DeliverError(const Core::AsyncApiResultCb &cb, const Data::ErrorValuePtr &error,
                  const std::vector<NamedMessageBuilder> &pending, const L10n::LocalizerPtr &localizer,
                  const Core::ExecutionContextPtr &context)
{
   Data::ErrorValuePtr out = error;
   if (!pending.empty()) {
      if (localizer) {
         L10n::LocaleSpec locale =
            context ? L10n::LocaleSpecHelpers::ExtractLocaleSpec(*context) : L10n::LocaleSpec{};
         out = localizer->Render(error, pending, locale);
      } else {
         out = L10n::RenderWithoutLocalizer(error, pending);
      }
   }
   cb(Core::MethodResult::GetErrorInstance(out), {}, {});
}

void DeliverInvalidInput(const Core::AsyncApiResultCb &cb, const CodecContext &codec)
{
   cb(Core::MethodResult::GetErrorInstance(Data::StdErrors::Make(
         Data::StdErrors::kInvalidArgument, codec.Messages(), "INVALID_ARGUMENT")),
      {}, {});
}

void DeliverInvalidOutput(const Core::AsyncApiResultCb &cb, const CodecContext &codec)
{
   cb(Core::MethodResult::GetErrorInstance(Data::StdErrors::Make(
         Data::StdErrors::kInternalServerError, codec.Messages(), "INTERNAL_SERVER_ERROR")),
      {}, {});
}

Data::ErrorValuePtr ImplementationFailed(const char *what)
{
   return Data::StdErrors::Make(Data::StdErrors::kInternalServerError,
                                {CoreMessage::Make(MessageIds::kInternalError, {what})},
                                "INTERNAL_SERVER_ERROR");
}

} // namespace Detail

} // namespace Ruvo::Binding
