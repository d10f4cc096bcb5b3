// The work queued for each kernel "resolveKey" request: the key locator is
// imported, the key provider unwraps the key, and the key is placed in the
// kernel key cache with the unmanaged key type.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "apps/zarna/kernel/kernel_request.h"
#include "runtime/hyperkern/status.h"
#include "runtime/ruvo/data/secret_string.h"

namespace Zarna {

// Runs on a pool thread, once per request, and ends in exactly one
// RpcPostReply for the request's message id.
void RunResolveKeyWork(const ResolveKeyWork &work);

// Every step of the work but the reply, whose status it returns (0 or
// 0xBAD0003). Called with the request's operation id already bound.
HYK_ReturnStatus ResolveKeyIntoCache(std::string_view locatorText);

// Unwraps one key: true with the decrypted (Base64) text.
using KeyResolver = std::function<bool(const std::string &provider, const std::string &keyId,
                                       Ruvo::SecretString &decrypted)>;
// Replaces the key provider client for tests; an empty resolver restores it.
void SetKeyResolver(KeyResolver resolver);

} // namespace Zarna
