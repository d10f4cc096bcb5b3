// Who is at the other end of a local socket connection, as the kernel says, and
// the request handlers that want to know it.
#pragma once

#include <memory>

#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/transport/http_request_handler.h"

namespace Ruvo::Transport::PicoHttp {

class PeerAwareRequestHandler : public HttpRequestHandler {
public:
   virtual bool HandleFromPeer(const Core::PeerCredentials &peer, const HttpServerRequest &request,
                               HttpReplyCb reply) = 0;
};

// SO_PEERCRED of a connected Unix domain socket; false when the kernel gives none.
bool ReadPeerCredentials(int fd, Core::PeerCredentials &out);

// The handler for one connection on descriptor `fd`: a peer-aware handler gets
// the connection's credentials with every request; any other is returned as is.
std::shared_ptr<HttpRequestHandler>
HandlerForPeer(const std::shared_ptr<HttpRequestHandler> &handler, int fd);

} // namespace Ruvo::Transport::PicoHttp
