#include "runtime/hyperkern/syscall_kernel.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace Hyperkern {

HYK_ReturnStatus SyscallKernelCalls::Invoke(long number, const CallArgs &a, int *error)
{
   errno = 0;
   long result = syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
   if (result == -1 && errno != 0) {
      // The system call itself was refused, before the kernel produced a status.
      *error = errno;
      return errno == ENOSYS ? kStatusNotSupported : kStatusFailure;
   }
   *error = 0;
   return static_cast<HYK_ReturnStatus>(result);
}

int SyscallKernelCalls::Close(int32_t fd)
{
   return ::close(fd);
}

} // namespace Hyperkern
