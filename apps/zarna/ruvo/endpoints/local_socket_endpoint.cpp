#include "apps/zarna/ruvo/endpoints/local_socket_endpoint.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <system_error>

#include "apps/zarna/ruvo/endpoints/local_socket_access.h"
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
   struct stat st {};
   if (mBound && lstat(mPath.c_str(), &st) == 0 && st.st_dev == mBoundDevice && st.st_ino == mBoundInode) {
      unlink(mPath.c_str());
   }
}

namespace {

// Whether a process accepts connections on the socket file at `path`.
bool SocketIsServed(const std::string &path)
{
   struct stat st {};
   if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      return false;
   }
   int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
   if (fd < 0) {
      return false;
   }
   sockaddr_un address{};
   address.sun_family = AF_UNIX;
   std::memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof address.sun_path - 1));
   bool served = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
   close(fd);
   return served;
}

} // namespace

bool LocalSocketEndpoint::Start()
{
   if (mPath.size() > kMaxPathLength) {
      throw std::system_error(std::make_error_code(std::errc::filename_too_long), mPath);
   }
   // A socket file of an earlier run would make the bind fail; one that a
   // running process serves belongs to that process.
   if (!mPath.empty()) {
      if (SocketIsServed(mPath)) {
         Log_Level(110, "The socket %s is served by another process\n", mPath.c_str());
         return false;
      }
      unlink(mPath.c_str());
   }
   boost::asio::local::stream_protocol::acceptor acceptor(mIo);
   boost::system::error_code ec;
   bool listening = false;
   {
      // Unauthenticated key operations: nobody but the owner may reach the socket
      // before its access is set below.
      OwnerOnlyFileCreation ownerOnly;
      listening = Ruvo::Asio::MakeLocalAcceptor(mIo, mPath, kListenBacklog, acceptor, ec);
   }
   if (!listening) {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, "UDS Failed to listen on: ", mPath, " ec: ", ec.category().name(),
                       ":", ec.value());
      return false;
   }
   std::string accessError;
   if (!mPath.empty() && !ApplyLocalSocketAccess(mPath, ConfiguredLocalSocketAccess(), accessError)) {
      Log_Level(110, "Cannot restrict access to %s: %s\n", mPath.c_str(), accessError.c_str());
      acceptor.close(ec);
      unlink(mPath.c_str());
      return false;
   }
   Ruvo::Log::Write(mLogger, Ruvo::Log::kInfo, "Listening on: ", mPath);
   struct stat st {};
   if (lstat(mPath.c_str(), &st) == 0) {
      mBound = true;
      mBoundDevice = st.st_dev;
      mBoundInode = st.st_ino;
   }
   mServer->StartAccepting(std::move(acceptor));
   Log_Level(125, "Unix domain socket endpoint listening on %s\n", mPath.c_str());
   return true;
}

} // namespace Zarna
