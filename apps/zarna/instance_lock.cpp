#include "apps/zarna/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Zarna {

InstanceLock::~InstanceLock()
{
   if (mFd >= 0) {
      close(mFd); // releases the lock; the file stays for the next agent
   }
}

bool InstanceLock::Acquire(const std::string &path, bool &heldElsewhere, std::string &error)
{
   heldElsewhere = false;
   int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
   if (fd < 0) {
      error = std::strerror(errno);
      return false;
   }
   // flock belongs to the open file, so it is released only when the process
   // ends (or this object goes), whatever threads do meanwhile.
   while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) {
         continue;
      }
      heldElsewhere = errno == EWOULDBLOCK;
      error = std::strerror(errno);
      close(fd);
      return false;
   }
   if (mFd >= 0) {
      close(mFd);
   }
   mFd = fd;
   return true;
}

} // namespace Zarna
