// zarnd's request path: HTTPS server → faults of the HTTP layer → token filter
// (and faults of the call layer) → the key services.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "peers/zarnd/key_service.h"
#include "peers/zarnd/token_verifier.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/transport/http_request_handler.h"

namespace Zarnd {

// Every call must carry the OAuth scheme with a token the verifier accepts;
// otherwise it is answered unauthenticated. The caller's subject and providers
// travel on in the execution context's authentication result.
class TokenFilter : public Ruvo::Core::AsyncApiProvider {
public:
   using Clock = std::function<int64_t()>; // seconds since the epoch

   TokenFilter(boost::asio::io_context &io, std::shared_ptr<const TokenVerifier> verifier,
               Fault fault, Ruvo::Core::AsyncApiProviderPtr next, Clock clock = {});
   std::string GetName() const override { return "TokenFilter"; }
   void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
               const Ruvo::Core::ExecutionContextPtr &context,
               Ruvo::Core::AsyncApiResultCb cb) override;

private:
   void Continue(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
                 const Ruvo::Core::ExecutionContextPtr &context, Ruvo::Core::AsyncApiResultCb cb);

   boost::asio::io_context &mIo;
   std::shared_ptr<const TokenVerifier> mVerifier;
   Fault mFault;
   Ruvo::Core::AsyncApiProviderPtr mNext;
   Clock mClock;
};

// Plays the HTTP-level faults (garbage, close) around the JSON-RPC handler.
class FaultHandler : public Ruvo::Transport::PicoHttp::HttpRequestHandler {
public:
   FaultHandler(Fault fault, std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler> next)
       : mFault(std::move(fault)), mNext(std::move(next))
   {
   }
   bool Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
               Ruvo::Transport::PicoHttp::HttpReplyCb reply) override;

private:
   Fault mFault;
   std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler> mNext;
};

// The whole handler of zarnd's server.
std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler>
MakeZarndHandler(boost::asio::io_context &io, std::shared_ptr<const ServiceCore> core,
                 std::shared_ptr<const TokenVerifier> verifier, TokenFilter::Clock clock = {});

} // namespace Zarnd
