#include "peers/zarnd/zarnd_server.h"

#include <chrono>

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "runtime/hostlib/log.h"
#include "runtime/hostlib/safe_text.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"

namespace Zarnd {

using Ruvo::Core::AsyncApiResultCb;
using Ruvo::Core::MethodResult;

namespace {

int64_t SystemSeconds()
{
   return std::chrono::duration_cast<std::chrono::seconds>(
              std::chrono::system_clock::now().time_since_epoch())
       .count();
}

void Refuse(const AsyncApiResultCb &cb, const Ruvo::Data::ErrorValuePtr &error)
{
   cb(MethodResult::GetErrorInstance(error), {}, {});
}

} // namespace

TokenFilter::TokenFilter(boost::asio::io_context &io, std::shared_ptr<const TokenVerifier> verifier,
                         Fault fault, Ruvo::Core::AsyncApiProviderPtr next, Clock clock)
    : mIo(io), mVerifier(std::move(verifier)), mFault(std::move(fault)), mNext(std::move(next)),
      mClock(clock ? std::move(clock) : Clock(SystemSeconds))
{
}

void TokenFilter::Invoke(const Ruvo::Core::MethodIdentifier &method,
                         const Ruvo::Data::DataValuePtr &input,
                         const Ruvo::Core::ExecutionContextPtr &context, AsyncApiResultCb cb)
{
   if (mFault.kind == FaultKind::Delay) {
      auto timer = std::make_shared<boost::asio::steady_timer>(
          mIo, std::chrono::milliseconds(mFault.delayMs));
      timer->async_wait([this, timer, method, input, context,
                         cb = std::move(cb)](const boost::system::error_code &) {
         Continue(method, input, context, cb);
      });
      return;
   }
   Continue(method, input, context, std::move(cb));
}

void TokenFilter::Continue(const Ruvo::Core::MethodIdentifier &method,
                           const Ruvo::Data::DataValuePtr &input,
                           const Ruvo::Core::ExecutionContextPtr &context, AsyncApiResultCb cb)
{
   std::string methodText = Hostlib::EscapeText(method.ToString(), 120);
   const auto &security = context->GetSecurityContext();
   const Ruvo::SecretString *token = security.GetAccessToken();
   TokenClaims claims;
   std::string reason;
   if (security.GetSchemeId() != Ruvo::Core::kOAuthSchemeId || !token) {
      reason = "no OAuth access token";
   } else {
      (void)mVerifier->Verify(token->Expose(), mClock(), claims, reason);
   }
   if (!reason.empty()) {
      Log_Level(115, "Refused %s: %s\n", methodText.c_str(), reason.c_str());
      Refuse(cb, MakeServiceError(FaultKind::Unauthenticated, "zarnd.token.refused",
                                  "The access token was refused: " + reason + "."));
      return;
   }
   std::string subject = Hostlib::EscapeText(claims.subject, 80);
   switch (mFault.kind) {
   case FaultKind::Unauthenticated:
   case FaultKind::Unauthorized:
   case FaultKind::InvalidArgument:
   case FaultKind::NotFound:
   case FaultKind::Error:
   case FaultKind::Internal:
      Log_Level(125, "Call %s from %s: injected failure\n", methodText.c_str(), subject.c_str());
      Refuse(cb, MakeServiceError(mFault.kind, "zarnd.fault", "Injected failure."));
      return;
   default:
      break;
   }
   Log_Level(125, "Call %s from %s\n", methodText.c_str(), subject.c_str());
   auto authn = std::make_shared<Ruvo::Core::AuthenticationResult>();
   authn->schemeId = Ruvo::Core::kOAuthSchemeId;
   authn->user = claims.subject;
   authn->privileges = claims.allProviders ? std::vector<std::string>{"*"} : claims.providers;
   context->SetAuthenticationResult(std::move(authn));
   mNext->Invoke(method, input, context, std::move(cb));
}

bool FaultHandler::Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
                          Ruvo::Transport::PicoHttp::HttpReplyCb reply)
{
   if (mFault.kind == FaultKind::Close) {
      // Dropping the reply drops the connection, which nothing else holds while a
      // request is being served.
      return true;
   }
   if (mFault.kind == FaultKind::Garbage) {
      Ruvo::Transport::PicoHttp::HttpServerReply out;
      out.body = "\x01garbage{";
      reply(std::move(out));
      return true;
   }
   if (mFault.kind == FaultKind::WrongId) {
      return mNext->Handle(
          request, [reply = std::move(reply)](Ruvo::Transport::PicoHttp::HttpServerReply out) {
             nlohmann::json body = nlohmann::json::parse(out.body, nullptr, false);
             if (body.is_object()) {
                body["id"] = "not-your-request";
                out.body = body.dump();
             }
             reply(std::move(out));
          });
   }
   return mNext->Handle(request, std::move(reply));
}

std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler>
MakeZarndHandler(boost::asio::io_context &io, std::shared_ptr<const ServiceCore> core,
                 std::shared_ptr<const TokenVerifier> verifier, TokenFilter::Clock clock)
{
   Fault fault = core->fault;
   auto local = Ruvo::Provider::AsyncLocalProvider::Create(BindKeyServices(core));
   auto filter =
       std::make_shared<TokenFilter>(io, std::move(verifier), fault, local, std::move(clock));
   auto rpc =
       std::make_shared<Ruvo::Transport::PicoHttp::PicoHttpApiRequestHandler>(filter, nullptr);
   return std::make_shared<FaultHandler>(fault, rpc);
}

} // namespace Zarnd
