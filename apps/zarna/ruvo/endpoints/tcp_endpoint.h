// The management API on TCP: one listening socket on 127.0.0.1 and one on ::1.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>

#include "apps/zarna/ruvo/endpoints/endpoint_settings.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/l10n/localizer.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/provider/direct_enqueuer.h"
#include "runtime/ruvo/transport/pico_http_server.h"

namespace Zarna {

class TcpEndpoint {
public:
   // Opens no socket.
   TcpEndpoint(int port, boost::asio::io_context &io, Ruvo::Core::AsyncApiProviderPtr provider,
               Ruvo::Provider::Enqueuer enqueuer, Ruvo::L10n::LocalizerPtr localizer, Ruvo::Log::LoggerPtr logger,
               EndpointLimits limits = ConfiguredEndpointLimits());
   // Closes the listening sockets.
   ~TcpEndpoint();
   TcpEndpoint(const TcpEndpoint &) = delete;
   TcpEndpoint &operator=(const TcpEndpoint &) = delete;

   // True when at least one address family listens. Throws boost::system::system_error
   // ("set_option") when the IPv6 socket cannot be made IPv6-only.
   bool Start();

private:
   bool Listen(const boost::asio::ip::address &address, const char *family);

   int mPort;
   boost::asio::io_context &mIo;
   Ruvo::Provider::Enqueuer mEnqueuer;
   Ruvo::L10n::LocalizerPtr mLocalizer;
   Ruvo::Log::LoggerPtr mLogger;
   std::shared_ptr<Ruvo::Transport::PicoHttp::AsioTcpApiServer> mServer;
};

} // namespace Zarna
