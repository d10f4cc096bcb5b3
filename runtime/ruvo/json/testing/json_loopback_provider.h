// Test helper: a provider that sends every call through the JSON-RPC text form to
// another provider, as a client transport and a server would, without sockets.
#pragma once

#include <memory>
#include <string>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/json/json_rpc.h"

namespace RuvoTesting {

class JsonLoopbackProvider : public Ruvo::Core::AsyncApiProvider {
public:
   explicit JsonLoopbackProvider(Ruvo::Core::AsyncApiProviderPtr server) : mServer(std::move(server)) {}
   std::string GetName() const override { return "JsonLoopbackProvider"; }

   void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
               const Ruvo::Core::ExecutionContextPtr &context, Ruvo::Core::AsyncApiResultCb cb) override
   {
      using namespace Ruvo::Protocol::Json;
      Ruvo::Data::ErrorValuePtr error;
      if (context->GetRequestId().empty()) {
         context->SetRequestId("loop-" + std::to_string(++mNextId));
      }
      if (!Secure::JsonApiRequestSerializer().Serialize(method, input, *context, lastRequest, error)) {
         cb(Ruvo::Core::MethodResult::GetErrorInstance(error), {}, {});
         return;
      }
      JsonApiRequest request;
      if (!Secure::JsonApiRequestDeserializer().Deserialize(lastRequest, request, error)) {
         Secure::JsonApiDirectResponseSerializer().SerializeError(request.requestId, error, lastResponse);
         Deliver(method, cb);
         return;
      }
      lastServerInput = request.input;
      mServer->Invoke(request.method, request.input, request.context,
                      [this, method, cb, id = request.requestId](const Ruvo::Core::MethodResultPtr &r,
                                                                 const Ruvo::Core::Progress &p,
                                                                 Ruvo::Core::Continuation next) {
                         if (!r) {
                            cb(nullptr, p, next);
                            return;
                         }
                         Secure::JsonApiResponseSerializer().Serialize(id, *r, lastResponse);
                         Deliver(method, cb);
                      });
   }

   std::string lastRequest;
   std::string lastResponse;
   Ruvo::Data::DataValuePtr lastServerInput;

private:
   void Deliver(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Core::AsyncApiResultCb &cb)
   {
      using namespace Ruvo::Protocol::Json;
      JsonApiResponse response;
      Ruvo::Data::ErrorValuePtr error;
      if (!Secure::JsonApiResponseDeserializer().Deserialize(lastResponse, method, response, error)) {
         cb(Ruvo::Core::MethodResult::GetErrorInstance(error), {}, {});
         return;
      }
      cb(response.result, {}, {});
   }

   Ruvo::Core::AsyncApiProviderPtr mServer;
   int mNextId = 0;
};

} // namespace RuvoTesting
