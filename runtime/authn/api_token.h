// What a management API token of this host is: who signs it, for whom, and the
// claim that carries the caller's privileges.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Brim::Authn {

inline constexpr const char *kApiTokenAudience = "zarna-management-api";
inline constexpr const char *kPrivilegesClaim = "privileges";
// Far above any token zarnactl mints (a few hundred bytes), far below what a
// request may carry.
inline constexpr size_t kMaxApiTokenBytes = 8192;
// Tolerated clock difference for "exp" and "nbf", in seconds.
inline constexpr int64_t kClockLeewaySec = 30;

} // namespace Brim::Authn
