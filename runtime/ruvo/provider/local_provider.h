// The innermost provider of a chain: dispatches calls to bound interfaces.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/provider/direct_enqueuer.h"
#include "runtime/ruvo/provider/interface_container.h"

namespace Ruvo::Provider {

class AsyncLocalProvider : public Core::AsyncApiProvider,
                           public std::enable_shared_from_this<AsyncLocalProvider> {
public:
   // Registers every binding; a binding whose identifier is already taken is
   // refused, logged, and its message added to `refused` when given.
   static std::shared_ptr<AsyncLocalProvider> Create(const std::vector<Core::ApiInterfacePtr> &bindings,
                                                     Enqueuer enqueuer = DirectEnqueuer(),
                                                     Log::LoggerPtr logger = nullptr,
                                                     std::vector<BaseMessage> *refused = nullptr);

   bool AddInterface(const Core::ApiInterfacePtr &binding, std::vector<BaseMessage> &messages);

   std::string GetName() const override { return "AsyncLocalProvider"; }
   void Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
               const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb) override;

private:
   AsyncLocalProvider(Enqueuer enqueuer, Log::LoggerPtr logger)
      : mEnqueuer(std::move(enqueuer)), mLogger(std::move(logger))
   {
   }
   void Dispatch(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                 const Core::ExecutionContextPtr &context, const Core::AsyncApiResultCb &cb) const;

   Enqueuer mEnqueuer;
   Log::LoggerPtr mLogger;
   AsyncApiInterfaceConcurrentContainer mInterfaces;
};

} // namespace Ruvo::Provider
