// Decoder for HTTP chunked transfer encoding, one chunk at a time.
//
// Each call looks at the unconsumed bytes of a body and reports either one whole
// chunk (its payload is a view into the input), the end of the body (the zero-size
// chunk and its trailer block), that more bytes are needed, or a framing error. It
// keeps no state between calls, so a caller may drop consumed bytes freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <boost/system/error_code.hpp>

namespace Ruvo::Transport::PicoHttp {

class PhrChunkedDecoder {
public:
   enum class Status { NeedMore, Chunk, End, Error };

   struct Result {
      Status status = Status::NeedMore;
      std::string_view payload;      // Chunk: the chunk's data
      size_t consumed = 0;           // Chunk, End: bytes of input used up
      boost::system::error_code error;
   };

   // Longest chunk-size line (size, extensions, line end) and trailer block accepted.
   static constexpr size_t kMaxSizeLine = 1024;
   static constexpr size_t kMaxTrailer = 8192;

   // maxChunk: a declared chunk size above it fails at once with code 9 (http request
   // too long) instead of waiting for bytes that would not fit anyway.
   static Result Decode(std::string_view input, uint64_t maxChunk);
};

// The header of one chunk as written by this transport: lower-case hex size, CRLF.
size_t FormatChunkHeader(uint64_t size, char (&out)[20]);

} // namespace Ruvo::Transport::PicoHttp
