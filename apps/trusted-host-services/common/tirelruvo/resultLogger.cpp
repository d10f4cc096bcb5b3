#include "apps/trusted-host-services/common/tirelruvo/resultLogger.h"

#include "runtime/ruvo/data/format.h"

namespace Ths::Common::TirelRuvo {

using Tirel::Service::LogInternal;
using Tirel::Service::Logger;

Ruvo::Core::AsyncApiResultCb ResultLogger::Wrap(Ruvo::Core::AsyncApiResultCb callback,
                                                Ruvo::Core::MethodIdentifierPtr method,
                                                const Tirel::Service::Logger &logger)
{
   auto shared = std::make_shared<ResultLogger>(std::move(callback), std::move(method), logger);
   return [shared](const Ruvo::Core::MethodResultPtr &result, const Ruvo::Core::Progress &progress,
                   Ruvo::Core::Continuation next) { (*shared)(result, progress, std::move(next)); };
}

void ResultLogger::LogResult(const Ruvo::Core::MethodResultPtr &result,
                             const Ruvo::Core::Progress &progress) const
{
   // Levels are tested first: rendering a value costs more than the test.
   int level = mLogger.GetLevel();
   if (!result) {
      if (level > Logger::kVerbose) {
         std::string text = Ruvo::FormatTemplate("{{{1}, {2}, {3}}}",
                                                 {std::to_string(progress.min), std::to_string(progress.max),
                                                  std::to_string(progress.current)});
         LogInternal(mLogger, Logger::kTrivia, "MethodResult: (null), Progress: %1", text);
      }
   } else if (!result->IsError()) { // a result without an error always has an output
      if (level > Logger::kVerbose) {
         LogInternal(mLogger, Logger::kTrivia, "MethodResult: %1", result->ToString());
      }
   } else if (level > Logger::kError) {
      LogInternal(mLogger, Logger::kWarning, "MethodResult [FAIL] (MethodId:%1),%2", mMethod->ToString(),
                  result->GetError() ? result->GetError()->ToString() : std::string());
   }
}

void ResultLogger::operator()(const Ruvo::Core::MethodResultPtr &result, const Ruvo::Core::Progress &progress,
                              Ruvo::Core::Continuation next)
{
   LogResult(result, progress);
   Ruvo::Core::AsyncApiResultCb callback;
   {
      Hostlib::MutexLock guard(mLock);
      if (result) {
         callback = std::move(mCallback);
         mCallback = nullptr;
      } else {
         callback = mCallback;
      }
   }
   if (callback) {
      callback(result, progress, std::move(next));
   }
}

} // namespace Ths::Common::TirelRuvo
