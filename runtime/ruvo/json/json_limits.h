#pragma once

#include <cstddef>

namespace Ruvo::Protocol::Json {

// Bounds on what a reader accepts; checked before any document is built.
struct Limits {
   size_t maxBytes = 20000000; // whole message
   int maxDepth = 64;          // nested objects and arrays
   // Values of every kind (each scalar, object, array and object key counts one). A value costs
   // far more once built than its few bytes of text ("[]," is 3 bytes), so their
   // number, not the size of the text, bounds the memory a document can take.
   size_t maxValues = 32768;
};

inline constexpr Limits kSecureLimits{};

} // namespace Ruvo::Protocol::Json
