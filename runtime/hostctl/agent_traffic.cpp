#include "runtime/hostctl/agent_traffic.h"

#include <sys/socket.h>

#include <cerrno>

namespace HostCtl::Network {

int MarkAgentSocket(int fd)
{
   uint32_t mark = kAgentSocketMark;
   return setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0 ? 0 : errno;
}

} // namespace HostCtl::Network
