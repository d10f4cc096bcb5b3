// The outermost layer of a provider chain: gives each call an operation id, binds
// it to the log context of the calling thread, logs the call and its result.
#pragma once

#include <memory>
#include <string>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/tirel/logger.h"

namespace Ths::Common::TirelRuvo {

class OpIdProvider : public Ruvo::Core::AsyncApiProvider {
public:
   explicit OpIdProvider(Ruvo::Core::AsyncApiProviderPtr next,
                         const Tirel::Service::Logger &logger = Tirel::Service::Logger::sDefaultLogger)
      : mNext(std::move(next)), mLogger(logger)
   {
   }

   std::string GetName() const override { return "OpIdProvider"; }
   void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
               const Ruvo::Core::ExecutionContextPtr &context, Ruvo::Core::AsyncApiResultCb cb) override;

   // A caller's own op-id is cut to this length before it is bound.
   static constexpr size_t kMaxCallerOpIdBytes = 128;

   // The generator name for a method text: what follows the last "." when that is at
   // least two characters, else the whole text.
   static std::string GeneratorName(const std::string &methodText);

private:
   Ruvo::Core::AsyncApiProviderPtr mNext;
   const Tirel::Service::Logger &mLogger;
};

} // namespace Ths::Common::TirelRuvo
