// The client side of the transport: one JSON-RPC call per connection, presented to
// callers as an API provider. Every call runs on the I/O context that the
// connector was made with (the caller's own).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/transport/connectors.h"
#include "runtime/ruvo/transport/http_client_exchange.h"

namespace Ruvo::Transport::PicoHttp {

class PicoHttpClientTransport : public std::enable_shared_from_this<PicoHttpClientTransport> {
public:
   // host: for the Host header (an IPv6 address goes in brackets).
   PicoHttpClientTransport(std::shared_ptr<Asio::Connector> connector, std::string host, Log::LoggerPtr logger,
                           ClientLimits limits = {});
   ~PicoHttpClientTransport();

   // Completes cb exactly once: with the response's result or error, or with a
   // system_error for a failed connect, send or receive, or invalid_request when
   // the response answers another request.
   void Send(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
             const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb);

   // The error value for a failed connect, send or receive; null for no error.
   static Data::ErrorValuePtr IoErrorValue(ClientPhase phase, const boost::system::error_code &ec,
                                           const std::string &text = "");

private:
   std::string NextRequestId();
   void Complete(const Core::MethodIdentifier &method, const std::string &requestId, ClientExchangeResult result,
                 const Core::AsyncApiResultCb &cb);

   std::shared_ptr<Asio::Connector> mConnector;
   std::string mHost;
   Log::LoggerPtr mLogger;
   ClientLimits mLimits;
   std::string mIdPrefix;
   std::atomic<uint64_t> mIdCounter{0};
};

} // namespace Ruvo::Transport::PicoHttp

namespace Ruvo::Provider {

class StreamTransportApiProviderHelper : public Core::AsyncApiProvider {
public:
   explicit StreamTransportApiProviderHelper(std::shared_ptr<Transport::PicoHttp::PicoHttpClientTransport> transport);
   std::string GetName() const override { return "StreamTransportApiProviderHelper"; }
   void Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
               const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb) override;

private:
   std::shared_ptr<Transport::PicoHttp::PicoHttpClientTransport> mTransport;
};

} // namespace Ruvo::Provider

namespace Ruvo::Transport::PicoHttp {

// A remote service over HTTPS (TLS 1.2, trusting only trustedCas, host name
// checked). Null when the TLS context cannot be built.
Core::AsyncApiProviderPtr CreateHttpsClientProvider(boost::asio::io_context &io, const std::string &host,
                                                    uint16_t port, const std::vector<std::string> &trustedCas,
                                                    Log::LoggerPtr logger, Asio::StreamLimits limits = {});
// Plain HTTP over TCP, and over a Unix domain socket (local management tools).
Core::AsyncApiProviderPtr CreateHttpClientProvider(boost::asio::io_context &io, const std::string &host,
                                                   uint16_t port, Log::LoggerPtr logger,
                                                   Asio::StreamLimits limits = {});
Core::AsyncApiProviderPtr CreateLocalClientProvider(boost::asio::io_context &io, const std::string &path,
                                                    Log::LoggerPtr logger, Asio::StreamLimits limits = {});

} // namespace Ruvo::Transport::PicoHttp
