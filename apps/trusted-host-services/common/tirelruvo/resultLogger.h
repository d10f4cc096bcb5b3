// Logs the progress and the outcome of one API call, then hands them on.
#pragma once

#include <memory>

#include "runtime/hostlib/mutex.h"
#include "runtime/ruvo/core/method_identifier.h"
#include "runtime/ruvo/core/method_result.h"
#include "runtime/tirel/logger.h"

namespace Ths::Common::TirelRuvo {

class ResultLogger {
public:
   ResultLogger(Ruvo::Core::AsyncApiResultCb callback, Ruvo::Core::MethodIdentifierPtr method,
                const Tirel::Service::Logger &logger)
      : mCallback(std::move(callback)), mMethod(std::move(method)), mLogger(logger)
   {
   }

   // A result callback that runs a shared ResultLogger.
   static Ruvo::Core::AsyncApiResultCb Wrap(Ruvo::Core::AsyncApiResultCb callback,
                                            Ruvo::Core::MethodIdentifierPtr method,
                                            const Tirel::Service::Logger &logger);

   void operator()(const Ruvo::Core::MethodResultPtr &result, const Ruvo::Core::Progress &progress,
                   Ruvo::Core::Continuation next);

private:
   void LogResult(const Ruvo::Core::MethodResultPtr &result, const Ruvo::Core::Progress &progress) const;

   Hostlib::Mutex mLock;
   // Released after the final result, so that whatever it holds goes with the call.
   Ruvo::Core::AsyncApiResultCb mCallback ZARNA_GUARDED_BY(mLock);
   const Ruvo::Core::MethodIdentifierPtr mMethod;
   const Tirel::Service::Logger &mLogger;
};

} // namespace Ths::Common::TirelRuvo
