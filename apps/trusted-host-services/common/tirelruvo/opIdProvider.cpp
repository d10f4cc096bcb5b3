#include "apps/trusted-host-services/common/tirelruvo/opIdProvider.h"

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/trusted-host-services/common/tirelruvo/resultLogger.h"
#include "runtime/ruvo/core/input_log_text.h"

namespace Ths::Common::TirelRuvo {

using Tirel::Service::LogInternal;
using Tirel::Service::Logger;

std::string OpIdProvider::GeneratorName(const std::string &methodText)
{
   size_t dot = methodText.rfind('.');
   if (dot != std::string::npos && methodText.size() - dot - 1 >= 2) {
      return methodText.substr(dot + 1);
   }
   return methodText;
}

void OpIdProvider::Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
                          const Ruvo::Core::ExecutionContextPtr &context, Ruvo::Core::AsyncApiResultCb cb)
{
   std::string methodText = method.ToString();
   std::optional<std::string> callerOpId;
   if (context) {
      callerOpId = context->GetApplicationValue(kAppContextOpIdKey);
   }
   if (callerOpId && callerOpId->size() > kMaxCallerOpIdBytes) {
      // The caller's text is bound to every line of the call: keep it short.
      callerOpId->resize(kMaxCallerOpIdBytes);
   }
   std::string opId = callerOpId ? *callerOpId : SequenceOpIdGenerator(GeneratorName(methodText)).Next();

   // Restored (or removed) when the next layer returns, so that the worker thread
   // does not carry this call's id into unrelated work.
   Tirel::Service::ScopedLogContext binding(kOpIdKey, opId);

   int level = mLogger.GetLevel();
   if (level > Logger::kInfo) {
      LogInternal(mLogger, Logger::kVerbose, "Invoke-MethodId: %1", methodText);
   }
   if (level > Logger::kVerbose) {
      // Rendered by the operation's declared types, so that a field declared secret
      // never shows, whatever value a caller put there.
      LogInternal(mLogger, Logger::kTrivia, "Invoke-Input: %1",
                  Ruvo::Core::InputLogText(methodText, input));
   }
   auto methodPtr = std::make_shared<const Ruvo::Core::MethodIdentifier>(method);
   mNext->Invoke(method, input, context, ResultLogger::Wrap(std::move(cb), methodPtr, mLogger));
}

} // namespace Ths::Common::TirelRuvo
