// Limits of a server endpoint, handed to every accepted connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace Ruvo::Transport::PicoHttp {

struct ServerSettings {
   // Used in log lines.
   std::string name;
   // Bounds writing one whole reply.
   std::chrono::nanoseconds writeLimit = std::chrono::seconds(1800);
   // Bounds receiving one whole request, counted from the moment the connection
   // starts waiting for it.
   std::chrono::nanoseconds readLimit = std::chrono::seconds(1200);
   // Bounds the wait for the first byte of a request (a fresh or a kept-alive
   // connection that sends nothing); never longer than readLimit.
   std::chrono::nanoseconds idleLimit = std::chrono::seconds(60);
   // Bounds one request's bytes in the receive buffer: header block plus body (with
   // its chunk framing).
   size_t maxRequestBytes = 20000000;
   // Bounds the header block.
   size_t maxHeaderBytes = 65536;
   // Connections held at once; more are accepted and closed at once.
   size_t maxConnections = 512;
   // Receive-buffer bytes of all connections together, beyond the small allowance
   // each connection has of its own (kOwnBufferBytes). A request that would pass
   // it is refused and its connection closed.
   size_t maxBufferedBytes = 32 * 1024 * 1024;
   // Bodies larger than this are handed to the request handler on a thread of the
   // server's own, so that a slow parse never holds an I/O thread; 0 keeps every
   // body on the I/O thread.
   size_t offloadBodyBytes = 64 * 1024;

   static constexpr size_t kOwnBufferBytes = 16 * 1024;
};

} // namespace Ruvo::Transport::PicoHttp
