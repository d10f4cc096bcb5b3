#include "runtime/ruvo/transport/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "runtime/hostlib/log.h"

namespace Ruvo::Asio {

uint64_t RaiseDescriptorLimit()
{
   rlimit limit{};
   if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
      Log_Level(115, "Cannot read the descriptor limit: %s\n", std::strerror(errno));
      return 0;
   }
   if (limit.rlim_cur == limit.rlim_max) {
      return static_cast<uint64_t>(limit.rlim_cur);
   }
   rlim_t before = limit.rlim_cur;
   limit.rlim_cur = limit.rlim_max;
   if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      Log_Level(115, "Cannot raise the descriptor limit from %llu: %s\n", static_cast<unsigned long long>(before),
                std::strerror(errno));
      return static_cast<uint64_t>(before);
   }
   return static_cast<uint64_t>(limit.rlim_cur);
}

} // namespace Ruvo::Asio
