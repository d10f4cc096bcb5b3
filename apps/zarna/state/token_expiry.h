// The one claim the agent reads from a token: its expiry.
#pragma once

#include <cstdint>
#include <string>

namespace Zarna {

// Decodes the compact token without verifying it and reads "exp". False when
// the token does not decode (`decodeResult` then holds the decoder's non-zero
// result); otherwise `exp` is the claim, or 0 when it is missing or not an integer.
bool ReadTokenExpiry(const std::string &token, int64_t &exp, int &decodeResult);

} // namespace Zarna
