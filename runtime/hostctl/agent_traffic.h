// How the firewall recognises the agent's own traffic: sockets carrying this
// mark (SO_MARK) pass through the confinement chain of an enabled ruleset.
// The agent's outbound connections set it; other processes are never affected.
#pragma once

#include <cstdint>

namespace HostCtl::Network {

inline constexpr uint32_t kAgentSocketMark = 0x5a524e41;

// Marks a socket as the agent's; 0 or an errno value (EPERM without
// CAP_NET_ADMIN, in which case no ruleset can be enforced either).
int MarkAgentSocket(int fd);

} // namespace HostCtl::Network
