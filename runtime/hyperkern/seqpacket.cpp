#include "runtime/hyperkern/seqpacket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "runtime/hyperkern/protocol.h"

namespace Hyperkern {

int ConnectSeqpacket(const std::string &path, std::string *error)
{
   sockaddr_un addr{};
   addr.sun_family = AF_UNIX;
   if (path.empty() || path.size() >= sizeof addr.sun_path) {
      *error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) +
               " bytes";
      return -1;
   }
   memcpy(addr.sun_path, path.data(), path.size());
   int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
   if (fd < 0) {
      *error = std::string("socket: ") + strerror(errno);
      return -1;
   }
   if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
      *error = "connect " + path + ": " + strerror(errno);
      close(fd);
      return -1;
   }
   return fd;
}

bool SendFrame(int fd, const Bytes &frame)
{
   ssize_t n;
   do {
      n = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
   } while (n < 0 && errno == EINTR);
   if (n >= 0 && static_cast<size_t>(n) != frame.size()) {
      errno = EMSGSIZE;
      return false;
   }
   return n >= 0;
}

RecvResult RecvFrame(int fd, Bytes &frame, int timeoutMs)
{
   using Clock = std::chrono::steady_clock;
   const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
   for (;;) {
      int wait = -1;
      if (timeoutMs >= 0) {
         auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
         wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
      }
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, wait);
      if (ready < 0) {
         if (errno == EINTR) {
            continue;
         }
         return RecvResult::kError;
      }
      if (ready == 0) {
         return RecvResult::kTimedOut;
      }
      // One byte more than the largest frame tells a too-long datagram apart.
      frame.resize(Proto::kMaxFrame + 1);
      ssize_t n = recv(fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_TRUNC);
      if (n < 0) {
         if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            continue;
         }
         frame.clear();
         return errno == ECONNRESET ? RecvResult::kClosed : RecvResult::kError;
      }
      if (n == 0) {
         frame.clear();
         return RecvResult::kClosed;
      }
      if (static_cast<size_t>(n) > Proto::kMaxFrame) {
         frame.clear();
         return RecvResult::kTruncated;
      }
      frame.resize(static_cast<size_t>(n));
      return RecvResult::kFrame;
   }
}

} // namespace Hyperkern
