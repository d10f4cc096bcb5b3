// Serves JSON-RPC requests from the HTTP server through an API provider.
#pragma once

#include <memory>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/transport/http_request_handler.h"
#include "runtime/ruvo/transport/peer_credentials.h"

namespace Ruvo::Transport::PicoHttp {

class PicoHttpApiRequestHandler : public PeerAwareRequestHandler {
public:
   PicoHttpApiRequestHandler(Core::AsyncApiProviderPtr provider, Log::LoggerPtr logger);

   bool Handle(const HttpServerRequest &request, HttpReplyCb reply) override;
   // As Handle, with the caller's credentials in the call's execution context.
   bool HandleFromPeer(const Core::PeerCredentials &peer, const HttpServerRequest &request,
                       HttpReplyCb reply) override;

   // An error value that asks to travel as an HTTP status: its structure has the
   // field "category" = "http", an integer "code" and a text "message".
   static bool GetHttpStatus(const Data::ErrorValuePtr &error, int &code, std::string &message);

private:
   bool Serve(const HttpServerRequest &request, HttpReplyCb reply, const Core::PeerCredentials *peer);

   Core::AsyncApiProviderPtr mProvider;
   Log::LoggerPtr mLogger;
};

} // namespace Ruvo::Transport::PicoHttp
