#pragma once

#include <cstddef>

namespace Ruvo::Protocol::Json {

// Bounds on what a reader accepts; checked before any document is built.
struct Limits {
   size_t maxBytes = 20000000; // whole message
   int maxDepth = 64;          // nested objects and arrays
};

inline constexpr Limits kSecureLimits{};

} // namespace Ruvo::Protocol::Json
