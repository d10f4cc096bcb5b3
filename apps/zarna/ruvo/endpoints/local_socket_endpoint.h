// The management API's key operations on a Unix domain stream socket.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "apps/zarna/ruvo/endpoints/endpoint_settings.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/l10n/localizer.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/provider/direct_enqueuer.h"
#include "runtime/ruvo/transport/pico_http_server.h"

namespace Zarna {

class LocalSocketEndpoint {
public:
   // Opens no socket.
   LocalSocketEndpoint(std::string path, boost::asio::io_context &io, Ruvo::Core::AsyncApiProviderPtr provider,
                       Ruvo::Provider::Enqueuer enqueuer, Ruvo::L10n::LocalizerPtr localizer,
                       Ruvo::Log::LoggerPtr logger, EndpointLimits limits = ConfiguredEndpointLimits());
   // Closes the listening socket and removes the socket file that Start bound
   // (only that one: a file put there by anyone else stays).
   ~LocalSocketEndpoint();
   LocalSocketEndpoint(const LocalSocketEndpoint &) = delete;
   LocalSocketEndpoint &operator=(const LocalSocketEndpoint &) = delete;

   // True when listening. A path longer than 107 bytes throws std::system_error
   // (ENAMETOOLONG). A file left at the path by an earlier run is replaced; a
   // socket that another process still serves is not (false then).
   bool Start();

   static constexpr size_t kMaxPathLength = 107;

private:
   std::string mPath;
   boost::asio::io_context &mIo;
   Ruvo::Provider::Enqueuer mEnqueuer;
   Ruvo::L10n::LocalizerPtr mLocalizer;
   Ruvo::Log::LoggerPtr mLogger;
   std::shared_ptr<Ruvo::Transport::PicoHttp::AsioLocalApiServer> mServer;
   // The file Start bound, by identity, so that only it is removed.
   bool mBound = false;
   dev_t mBoundDevice = 0;
   ino_t mBoundInode = 0;
};

} // namespace Zarna
