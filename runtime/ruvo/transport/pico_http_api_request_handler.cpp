#include "runtime/ruvo/transport/pico_http_api_request_handler.h"

#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/json/json_rpc.h"
#include "runtime/ruvo/transport/json_rpc_http_helpers.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

// Optional fields arrive wrapped; look through the wrapper.
Data::DataValuePtr Unwrap(Data::DataValuePtr value)
{
   if (auto *optional = Data::As<Data::OptionalValue>(value)) {
      return optional->GetValue();
   }
   return value;
}

HttpServerReply ErrorReply(const std::string &requestId, const Data::ErrorValuePtr &error)
{
   HttpServerReply reply;
   Protocol::Json::Secure::JsonApiDirectResponseSerializer().SerializeError(requestId, error, reply.body);
   return reply;
}

} // namespace

PicoHttpApiRequestHandler::PicoHttpApiRequestHandler(Core::AsyncApiProviderPtr provider, Log::LoggerPtr logger)
   : mProvider(std::move(provider)), mLogger(std::move(logger))
{
}

bool PicoHttpApiRequestHandler::GetHttpStatus(const Data::ErrorValuePtr &error, int &code, std::string &message)
{
   if (!error) {
      return false;
   }
   auto *category = Data::As<Data::StringValue>(Unwrap(error->GetField("category")));
   if (category == nullptr || category->GetValue() != "http") {
      return false;
   }
   auto *codeValue = Data::As<Data::IntegerValue>(Unwrap(error->GetField("code")));
   auto *messageValue = Data::As<Data::StringValue>(Unwrap(error->GetField("message")));
   code = codeValue != nullptr ? static_cast<int>(codeValue->GetValue()) : 500;
   message = messageValue != nullptr ? messageValue->GetValue() : "";
   return true;
}

bool PicoHttpApiRequestHandler::Handle(const HttpServerRequest &request, HttpReplyCb reply)
{
   return Serve(request, std::move(reply), nullptr);
}

bool PicoHttpApiRequestHandler::HandleFromPeer(const Core::PeerCredentials &peer, const HttpServerRequest &request,
                                               HttpReplyCb reply)
{
   return Serve(request, std::move(reply), &peer);
}

bool PicoHttpApiRequestHandler::Serve(const HttpServerRequest &request, HttpReplyCb reply,
                                      const Core::PeerCredentials *peer)
{
   if (!mProvider) {
      return false;
   }
   Protocol::Json::JsonApiRequest call;
   Data::ErrorValuePtr error;
   if (!Protocol::Json::Secure::JsonApiRequestDeserializer().Deserialize(request.body, call, error)) {
      Log::Write(mLogger, Log::kTrace, "Handle request error: ", error ? error->ToString() : "");
      reply(ErrorReply(call.requestId, error));
      return true;
   }
   if (std::error_code ec =
          Provider::JsonRpc1_1::UpdateExecutionCtxHelper::Update(request.request.headers, call.method, *call.context)) {
      BaseMessage message = CoreMessage::Make(MessageIds::kInvalidMessage, {ec.message()});
      if (ec.category() == Provider::ProtocolCategory()) {
         std::string headerValue;
         for (const auto &h : request.request.headers) {
            if (h.Name() == Provider::JsonRpc1_1::kMethodIdHeader) {
               headerValue = std::string(h.Value());
            }
         }
         message = CoreMessage::Make(MessageIds::kMethodMismatch, {headerValue, call.method.ToString()});
      }
      error = Data::StdErrors::Make(Data::StdErrors::kInvalidRequest, {message}, "INVALID_REQUEST");
      Log::Write(mLogger, Log::kTrace, "Handle request error: ", error->ToString());
      reply(ErrorReply(call.requestId, error));
      return true;
   }
   if (peer != nullptr) {
      call.context->SetPeerCredentials(*peer);
   }
   Log::Write(mLogger, Log::kDebug, "Request received");
   auto logger = mLogger;
   std::string requestId = call.requestId;
   mProvider->Invoke(call.method, call.input, call.context,
                     [logger, requestId, reply](const Core::MethodResultPtr &result, const Core::Progress &,
                                                Core::Continuation next) {
                        if (!result) {
                           // Progress is not carried over HTTP; let the producer go on.
                           if (next) {
                              next();
                           }
                           return;
                        }
                        HttpServerReply out;
                        if (result->IsError()) {
                           Log::Write(logger, Log::kTrace, "Handle request error: ", result->GetError()->ToString());
                           int code = 0;
                           std::string message;
                           if (GetHttpStatus(result->GetError(), code, message)) {
                              out.httpStatus = true;
                              out.status = code;
                              out.statusMessage = std::move(message);
                              Protocol::Json::Secure::JsonApiResponseSerializer().Serialize(requestId, *result, out.body);
                              reply(std::move(out));
                              return;
                           }
                        } else {
                           Log::Write(logger, Log::kTrace, "Request handled");
                        }
                        Protocol::Json::Secure::JsonApiResponseSerializer().Serialize(requestId, *result, out.body);
                        out.extraHeaders = Provider::JsonRpc1_1::ResponseHelper::GetResponseExtraHeaders(*result);
                        reply(std::move(out));
                     });
   return true;
}

} // namespace Ruvo::Transport::PicoHttp
