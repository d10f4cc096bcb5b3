// The kernel calls as real system calls, for hosts whose kernel offers them.
// On a kernel without them every call fails with kStatusNotSupported (ENOSYS).
#pragma once

#include "runtime/hyperkern/kernel_calls.h"

namespace Hyperkern {

class SyscallKernelCalls final : public KernelCalls {
public:
   HYK_ReturnStatus Invoke(long number, const CallArgs &args, int *error) override;
   int Close(int32_t fd) override;
};

} // namespace Hyperkern
