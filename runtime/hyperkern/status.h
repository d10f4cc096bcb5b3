// Kernel status values and their text.
//
// Every kernel call answers with a 32-bit status, 0 meaning success. The kernel
// owns the meaning of the failure values; the ones named here are those this
// host code and the Linux emulator produce or act upon.
#pragma once

#include <cstdint>
#include <string>

typedef uint32_t HYK_ReturnStatus;

namespace Hyperkern {

inline constexpr HYK_ReturnStatus kStatusSuccess = 0x0;
inline constexpr HYK_ReturnStatus kStatusFailure = 0xBAD0001;
inline constexpr HYK_ReturnStatus kStatusInvalidArgument = 0xBAD0002;
inline constexpr HYK_ReturnStatus kStatusNotFound = 0xBAD0003;
inline constexpr HYK_ReturnStatus kStatusAlreadyExists = 0xBAD0004;
inline constexpr HYK_ReturnStatus kStatusNotSupported = 0xBAD0005;
// The kernel could not take the call now; the same call may succeed later.
inline constexpr HYK_ReturnStatus kStatusBusy = 0xBAD0006;
inline constexpr HYK_ReturnStatus kStatusNoMessage = 0xBAD0007;
inline constexpr HYK_ReturnStatus kStatusMessageTooLarge = 0xBAD0008;
// The channel is gone for good (emulator exited, connection broken); every
// later call on the descriptor fails the same way.
inline constexpr HYK_ReturnStatus kStatusChannelClosed = 0xBAD0009;
inline constexpr HYK_ReturnStatus kStatusProtocolError = 0xBAD000A;
inline constexpr HYK_ReturnStatus kStatusTimedOut = 0xBAD000B;

} // namespace Hyperkern

// Text for logs: a name for the values above, "status 0x..." for others.
std::string HYK_ReturnStatusToString(HYK_ReturnStatus status);
