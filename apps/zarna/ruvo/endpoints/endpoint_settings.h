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
   // "api/idleTimeoutSec", "api/maxConnections", "api/maxBufferedBytes".
   std::chrono::nanoseconds idleLimit = std::chrono::seconds(60);
   size_t maxConnections = 512;
   size_t maxBufferedBytes = 32 * 1024 * 1024;

   Ruvo::Transport::PicoHttp::ServerSettings ToServerSettings(const char *name) const
   {
      Ruvo::Transport::PicoHttp::ServerSettings s;
      s.name = name;
      s.writeLimit = timeLimit1;
      s.readLimit = timeLimit2;
      s.maxRequestBytes = maxRequestBytes;
      s.idleLimit = idleLimit;
      s.maxConnections = maxConnections;
      s.maxBufferedBytes = maxBufferedBytes;
      return s;
   }
};

// The limits with the running application's "api/..." settings applied (the
// defaults above when there is no application). A value out of range is logged at
// level 115 and the default kept.
EndpointLimits ConfiguredEndpointLimits();

inline constexpr int kListenBacklog = 128;

} // namespace Zarna
