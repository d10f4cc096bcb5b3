// The process's descriptor limit: every connection holds one, so the soft limit
// (often 1024) is raised to the hard limit once at start-up.
#pragma once

#include <cstdint>

namespace Ruvo::Asio {

// Raises the soft RLIMIT_NOFILE to the hard limit. Returns the soft limit in force
// afterwards (unchanged, and logged at level 115, when it cannot be raised).
uint64_t RaiseDescriptorLimit();

} // namespace Ruvo::Asio
