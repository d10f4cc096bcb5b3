// What every management API endpoint hands its accepted connections.
#pragma once

#include <chrono>
#include <cstddef>

#include "runtime/ruvo/transport/server_settings.h"

namespace Zarna {

struct EndpointLimits {
   // In this order: the first bounds writing a reply, the second receiving a request.
   std::chrono::nanoseconds timeLimit1 = std::chrono::nanoseconds(1800000000000);
   std::chrono::nanoseconds timeLimit2 = std::chrono::nanoseconds(1200000000000);
   size_t maxRequestBytes = 20000000;

   Ruvo::Transport::PicoHttp::ServerSettings ToServerSettings(const char *name) const
   {
      Ruvo::Transport::PicoHttp::ServerSettings s;
      s.name = name;
      s.writeLimit = timeLimit1;
      s.readLimit = timeLimit2;
      s.maxRequestBytes = maxRequestBytes;
      return s;
   }
};

inline constexpr int kListenBacklog = 128;

} // namespace Zarna
