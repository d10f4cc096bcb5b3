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
   // starts waiting for it (so an idle keep-alive connection is closed after it).
   std::chrono::nanoseconds readLimit = std::chrono::seconds(1200);
   // Bounds one request's bytes in the receive buffer: header block plus body (with
   // its chunk framing).
   size_t maxRequestBytes = 20000000;
   // Bounds the header block.
   size_t maxHeaderBytes = 65536;
};

} // namespace Ruvo::Transport::PicoHttp
