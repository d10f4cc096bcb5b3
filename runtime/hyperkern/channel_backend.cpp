#include "runtime/hyperkern/channel_backend.h"

#include "runtime/hyperkern/emulator_kernel.h"
#include "runtime/hyperkern/syscall_kernel.h"

namespace Hyperkern {

std::shared_ptr<KernelCalls> CreateKernelCalls(const std::string &channel)
{
   if (channel == kSyscallChannel) {
      return std::make_shared<SyscallKernelCalls>();
   }
   return std::make_shared<EmulatorKernelCalls>(channel.empty() ? kDefaultChannel : channel);
}

} // namespace Hyperkern
