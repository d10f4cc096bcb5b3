// Chooses the kernel call backend from the "hyperkern/channel" setting.
#pragma once

#include <memory>
#include <string>

#include "runtime/hyperkern/kernel_calls.h"

namespace Hyperkern {

inline constexpr const char *kChannelSetting = "hyperkern/channel";
inline constexpr const char *kDefaultChannel = "/run/zarna/hyperkern.sock";
// The setting value that selects the real system calls.
inline constexpr const char *kSyscallChannel = "syscall";

// "syscall": the host kernel's own calls; any other value: the path of the
// emulator's socket. An empty value means the default path.
std::shared_ptr<KernelCalls> CreateKernelCalls(const std::string &channel);

} // namespace Hyperkern
