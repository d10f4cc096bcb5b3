#include "apps/zarna/ruvo/endpoints/tcp_endpoint.h"

#include <sstream>

#include <boost/asio/ip/v6_only.hpp>

#include "runtime/hostlib/log.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"

namespace Zarna {

using boost::asio::ip::tcp;

TcpEndpoint::TcpEndpoint(int port, boost::asio::io_context &io, Ruvo::Core::AsyncApiProviderPtr provider,
                         Ruvo::Provider::Enqueuer enqueuer, Ruvo::L10n::LocalizerPtr localizer,
                         Ruvo::Log::LoggerPtr logger, EndpointLimits limits)
   : mPort(port),
     mIo(io),
     mEnqueuer(std::move(enqueuer)),
     mLocalizer(std::move(localizer)),
     mLogger(logger),
     mServer(Ruvo::Transport::PicoHttp::AsioTcpApiServer::Create(
        io, std::make_shared<Ruvo::Transport::PicoHttp::PicoHttpApiRequestHandler>(std::move(provider), logger),
        limits.ToServerSettings("tcp"), logger))
{
}

TcpEndpoint::~TcpEndpoint()
{
   mServer->Close();
}

bool TcpEndpoint::Start()
{
   bool v4 = Listen(boost::asio::ip::address_v4::loopback(), "IPv4");
   bool v6 = Listen(boost::asio::ip::address_v6::loopback(), "IPv6");
   if (!v4 && !v6) {
      return false;
   }
   Log_Level(125, "HTTP endpoint listening on TCP port %d\n", mPort);
   return true;
}

bool TcpEndpoint::Listen(const boost::asio::ip::address &address, const char *family)
{
   tcp::endpoint endpoint(address, static_cast<unsigned short>(mPort));
   std::ostringstream text;
   text << endpoint;
   tcp::acceptor acceptor(mIo);
   boost::system::error_code ec;
   if (!acceptor.open(endpoint.protocol(), ec) &&
       !acceptor.set_option(tcp::acceptor::reuse_address(true), ec)) {
      if (address.is_v6()) {
         // Without it the IPv6 socket could also take IPv4 traffic of the port.
         acceptor.set_option(boost::asio::ip::v6_only(true));
      }
      if (!acceptor.bind(endpoint, ec)) {
         acceptor.listen(kListenBacklog, ec);
      }
   }
   if (ec) {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, family, " Failed to listen on: ", text.str(), " ec: ",
                       ec.category().name(), ":", ec.value());
      return false;
   }
   Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, "Listening on: ", text.str());
   mServer->StartAccepting(std::move(acceptor));
   return true;
}

} // namespace Zarna
