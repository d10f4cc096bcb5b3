// SOCK_SEQPACKET Unix socket helpers shared by the channel backend, the control
// client and the emulator.
#pragma once

#include <string>

#include "runtime/hyperkern/wire.h"

namespace Hyperkern {

// A connected socket, or -1 with a reason in *error.
int ConnectSeqpacket(const std::string &path, std::string *error);

// Never raises SIGPIPE. False with errno set when the frame was not sent whole.
bool SendFrame(int fd, const Bytes &frame);

enum class RecvResult { kFrame, kClosed, kTimedOut, kError, kTruncated };

// Waits at most timeoutMs (negative: forever) for one frame of at most
// Proto::kMaxFrame bytes.
RecvResult RecvFrame(int fd, Bytes &frame, int timeoutMs);

} // namespace Hyperkern
