// The work queued for each kernel "resolveKey" request.
#pragma once

#include "apps/zarna/kernel/kernel_request.h"

namespace Zarna {

// Runs on a pool thread, once per request, and ends in exactly one
// RpcPostReply for the request's message id.
void RunResolveKeyWork(const ResolveKeyWork &work);

} // namespace Zarna
