#include "runtime/ruvo/transport/pico_http_client_transport.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include <boost/asio/error.hpp>

#include "runtime/hostlib/uuid.h"
#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/json/json_rpc.h"
#include "runtime/ruvo/transport/tls_context.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

// Sixteen random hexadecimal digits, from the per-thread block of random bytes
// the identifiers use (a client is made per key request: a fresh std::random_device
// each time cost a CPU feature probe, which a virtual machine traps).
std::string RandomHex()
{
   std::unique_ptr<char, decltype(&free)> uuid(UUID_CreateRandom(), &free);
   if (!uuid || UUID_PackText(uuid.get()) == 0) {
      throw std::runtime_error("no randomness for request ids");
   }
   // Packed: 32 digits, the 13th the version; the 16 before and after it are random.
   const std::string packed(uuid.get());
   return packed.substr(0, 12) + packed.substr(13, 4);
}

void Deliver(const Core::AsyncApiResultCb &cb, Core::MethodResultPtr result)
{
   cb(result, Core::Progress(), nullptr);
}

} // namespace

PicoHttpClientTransport::PicoHttpClientTransport(std::shared_ptr<Asio::Connector> connector, std::string host,
                                                 Log::LoggerPtr logger, ClientLimits limits)
   : mConnector(std::move(connector)),
     mLogger(std::move(logger)),
     mLimits(limits),
     mIdPrefix(RandomHex())
{
   // Only a name or address that passed the check reaches the Host header; any
   // other host fails each call before a connection is made.
   if (!Asio::HostHeaderForm(host, mHost)) {
      mHost.clear();
   }
   Log::Write(mLogger, Log::kDebug, "PicoHttpClientTransport<Send> created");
}

PicoHttpClientTransport::~PicoHttpClientTransport()
{
   Log::Write(mLogger, Log::kDebug, "PicoHttpClientTransport<Send> destroyed");
}

std::string PicoHttpClientTransport::NextRequestId()
{
   return mIdPrefix + "-" + std::to_string(mIdCounter.fetch_add(1));
}

Data::ErrorValuePtr PicoHttpClientTransport::IoErrorValue(ClientPhase phase, const boost::system::error_code &ec,
                                                          const std::string &text)
{
   if (!ec) {
      return nullptr;
   }
   const char *id = phase == ClientPhase::Connect ? MessageIds::kConnectFailed
                    : phase == ClientPhase::Send  ? MessageIds::kSendFailed
                                                  : MessageIds::kRecvFailed;
   return Data::StdErrors::Make(Data::StdErrors::kSystemError,
                                {CoreMessage::Make(id, {text.empty() ? ec.message() : text})}, "SYSTEM_ERROR");
}

void PicoHttpClientTransport::Send(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                                   const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb)
{
   Core::ExecutionContextPtr ctx = context ? context : std::make_shared<Core::ExecutionContext>();
   if (ctx->GetRequestId().empty()) {
      ctx->SetRequestId(NextRequestId());
   }
   std::string requestId = ctx->GetRequestId();
   auto body = std::make_shared<std::string>();
   Data::ErrorValuePtr error;
   if (!Protocol::Json::Secure::JsonApiRequestSerializer().Serialize(method, input, *ctx, *body, error)) {
      Deliver(cb, Core::MethodResult::GetErrorInstance(error));
      return;
   }
   if (mHost.empty()) {
      ClientExchangeResult failed;
      failed.error = boost::asio::error::invalid_argument;
      failed.phase = ClientPhase::Connect;
      Complete(method, requestId, std::move(failed), cb);
      return;
   }
   mConnector->AsyncConnect([self = shared_from_this(), method, requestId, body, cb](
                               const boost::system::error_code &ec, std::shared_ptr<Asio::ByteStream> stream) {
      if (ec) {
         Log::Write(self->mLogger, Log::kDebug, "IO error: ", ec.message());
         ClientExchangeResult failed;
         failed.error = ec;
         failed.phase = ClientPhase::Connect;
         self->Complete(method, requestId, std::move(failed), cb);
         return;
      }
      HttpClientExchange::Run(stream, self->mHost, std::move(*body), self->mLimits, self->mLogger,
                              [self, method, requestId, cb](ClientExchangeResult result) {
                                 self->Complete(method, requestId, std::move(result), cb);
                              });
   });
}

void PicoHttpClientTransport::Complete(const Core::MethodIdentifier &method, const std::string &requestId,
                                       ClientExchangeResult result, const Core::AsyncApiResultCb &cb)
{
   if (result.error) {
      Deliver(cb, Core::MethodResult::GetErrorInstance(IoErrorValue(result.phase, result.error, result.errorText)));
      return;
   }
   // A streamed reply ends with the call's outcome.
   Protocol::Json::JsonApiResponse response;
   Data::ErrorValuePtr error;
   if (!Protocol::Json::Secure::JsonApiResponseDeserializer().Deserialize(result.messages.back(), method, response,
                                                                          error)) {
      Deliver(cb, Core::MethodResult::GetErrorInstance(error));
      return;
   }
   if (response.requestId != requestId) {
      Deliver(cb, Core::MethodResult::GetErrorInstance(
                     Data::StdErrors::Make(Data::StdErrors::kInvalidRequest,
                                           {CoreMessage::Make(MessageIds::kUnknownRequestId, {"Invoke"})},
                                           "INVALID_REQUEST")));
      return;
   }
   Deliver(cb, response.result);
}

} // namespace Ruvo::Transport::PicoHttp

namespace Ruvo::Provider {

StreamTransportApiProviderHelper::StreamTransportApiProviderHelper(
   std::shared_ptr<Transport::PicoHttp::PicoHttpClientTransport> transport)
   : mTransport(std::move(transport))
{
}

void StreamTransportApiProviderHelper::Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                                              const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb)
{
   mTransport->Send(method, input, context, std::move(cb));
}

} // namespace Ruvo::Provider

namespace Ruvo::Transport::PicoHttp {

Core::AsyncApiProviderPtr CreateHttpsClientProvider(boost::asio::io_context &io, const std::string &host,
                                                    uint16_t port, const std::vector<std::string> &trustedCas,
                                                    Log::LoggerPtr logger, Asio::StreamLimits limits)
{
   auto context = Security::Openssl::CreateClientTlsContext(trustedCas);
   if (!context) {
      return nullptr;
   }
   auto base = std::make_shared<Asio::TcpBaseConnector>(io, host, port, limits);
   auto tls = std::make_shared<Security::Openssl::TlsConnector>(base, context);
   return std::make_shared<Provider::StreamTransportApiProviderHelper>(
      std::make_shared<PicoHttpClientTransport>(tls, host, std::move(logger)));
}

Core::AsyncApiProviderPtr CreateHttpClientProvider(boost::asio::io_context &io, const std::string &host,
                                                   uint16_t port, Log::LoggerPtr logger, Asio::StreamLimits limits)
{
   auto base = std::make_shared<Asio::TcpBaseConnector>(io, host, port, limits);
   return std::make_shared<Provider::StreamTransportApiProviderHelper>(
      std::make_shared<PicoHttpClientTransport>(base, host, std::move(logger)));
}

Core::AsyncApiProviderPtr CreateLocalClientProvider(boost::asio::io_context &io, const std::string &path,
                                                    Log::LoggerPtr logger, Asio::StreamLimits limits)
{
   auto local = std::make_shared<Asio::LocalConnector>(io, path, limits);
   return std::make_shared<Provider::StreamTransportApiProviderHelper>(
      std::make_shared<PicoHttpClientTransport>(local, "localhost", std::move(logger)));
}

} // namespace Ruvo::Transport::PicoHttp
