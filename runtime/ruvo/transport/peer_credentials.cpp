#include "runtime/ruvo/transport/peer_credentials.h"

#include <sys/socket.h>

namespace Ruvo::Transport::PicoHttp {

namespace {

// Read once at accept: the credentials belong to the connection, not to a request.
class PeerHandler : public HttpRequestHandler {
public:
   PeerHandler(std::shared_ptr<PeerAwareRequestHandler> inner, Core::PeerCredentials peer)
       : mInner(std::move(inner)), mPeer(peer)
   {
   }
   bool Handle(const HttpServerRequest &request, HttpReplyCb reply) override
   {
      return mInner->HandleFromPeer(mPeer, request, std::move(reply));
   }

private:
   std::shared_ptr<PeerAwareRequestHandler> mInner;
   Core::PeerCredentials mPeer;
};

} // namespace

bool ReadPeerCredentials(int fd, Core::PeerCredentials &out)
{
   ucred cred{};
   socklen_t len = sizeof cred;
   if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
      return false;
   }
   out.uid = cred.uid;
   out.pid = cred.pid;
   return true;
}

std::shared_ptr<HttpRequestHandler>
HandlerForPeer(const std::shared_ptr<HttpRequestHandler> &handler, int fd)
{
   auto aware = std::dynamic_pointer_cast<PeerAwareRequestHandler>(handler);
   Core::PeerCredentials peer;
   if (!aware || !ReadPeerCredentials(fd, peer)) {
      return handler;
   }
   return std::make_shared<PeerHandler>(std::move(aware), peer);
}

} // namespace Ruvo::Transport::PicoHttp
