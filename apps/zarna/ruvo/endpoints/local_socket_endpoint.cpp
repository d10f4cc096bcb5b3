#include "apps/zarna/ruvo/endpoints/local_socket_endpoint.h"

#include <unistd.h>

#include <system_error>

#include "runtime/hostlib/log.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"

namespace Zarna {

LocalSocketEndpoint::LocalSocketEndpoint(std::string path, boost::asio::io_context &io,
                                         Ruvo::Core::AsyncApiProviderPtr provider, Ruvo::Provider::Enqueuer enqueuer,
                                         Ruvo::L10n::LocalizerPtr localizer, Ruvo::Log::LoggerPtr logger,
                                         EndpointLimits limits)
   : mPath(std::move(path)),
     mIo(io),
     mEnqueuer(std::move(enqueuer)),
     mLocalizer(std::move(localizer)),
     mLogger(logger),
     mServer(Ruvo::Transport::PicoHttp::AsioLocalApiServer::Create(
        io, std::make_shared<Ruvo::Transport::PicoHttp::PicoHttpApiRequestHandler>(std::move(provider), logger),
        limits.ToServerSettings("local"), logger))
{
}

LocalSocketEndpoint::~LocalSocketEndpoint()
{
   mServer->Close();
   if (!mPath.empty()) {
      unlink(mPath.c_str());
   }
}

bool LocalSocketEndpoint::Start()
{
   if (mPath.size() > kMaxPathLength) {
      throw std::system_error(std::make_error_code(std::errc::filename_too_long), mPath);
   }
   // A socket file of an earlier run would make the bind fail.
   if (!mPath.empty()) {
      unlink(mPath.c_str());
   }
   boost::asio::local::stream_protocol::acceptor acceptor(mIo);
   boost::system::error_code ec;
   if (!Ruvo::Asio::MakeLocalAcceptor(mIo, mPath, kListenBacklog, acceptor, ec)) {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, "UDS Failed to listen on: ", mPath, " ec: ", ec.category().name(),
                       ":", ec.value());
      return false;
   }
   Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, "Listening on: ", mPath);
   mServer->StartAccepting(std::move(acceptor));
   Log_Level(125, "Unix domain socket endpoint listening on %s\n", mPath.c_str());
   return true;
}

} // namespace Zarna
