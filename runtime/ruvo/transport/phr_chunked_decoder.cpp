#include "runtime/ruvo/transport/phr_chunked_decoder.h"

#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

int HexValue(char c)
{
   if (c >= '0' && c <= '9') {
      return c - '0';
   }
   if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
   }
   if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
   }
   return -1;
}

using Result = PhrChunkedDecoder::Result;
using Status = PhrChunkedDecoder::Status;

Result Fail(Error::TransportError e)
{
   Result r;
   r.status = Status::Error;
   r.error = e;
   return r;
}

// Finds the end of the line starting at pos; returns the offset after its LF, or
// npos when no LF is within limit bytes.
size_t LineEnd(std::string_view in, size_t pos, size_t limit, bool &tooLong)
{
   size_t end = in.find('\n', pos);
   tooLong = false;
   if (end == std::string_view::npos || end - pos >= limit) {
      tooLong = (end == std::string_view::npos ? in.size() - pos : end - pos) >= limit;
      return std::string_view::npos;
   }
   return end + 1;
}

// Consumes the trailer block after the last chunk: header lines up to an empty line.
Result ParseTrailer(std::string_view in, size_t pos)
{
   size_t start = pos;
   for (;;) {
      bool tooLong = false;
      size_t next = LineEnd(in, pos, PhrChunkedDecoder::kMaxTrailer - (pos - start), tooLong);
      if (next == std::string_view::npos) {
         return tooLong ? Fail(Error::invalid_frame_header) : Result();
      }
      std::string_view line = in.substr(pos, next - pos - 1);
      if (!line.empty() && line.back() == '\r') {
         line.remove_suffix(1);
      }
      pos = next;
      if (line.empty()) {
         Result r;
         r.status = Status::End;
         r.consumed = pos;
         return r;
      }
      for (char c : line) {
         if (c == '\r' || c == '\0') {
            return Fail(Error::invalid_frame_header);
         }
      }
   }
}

} // namespace

PhrChunkedDecoder::Result PhrChunkedDecoder::Decode(std::string_view in, uint64_t maxChunk)
{
   size_t pos = 0;
   uint64_t size = 0;
   size_t digits = 0;
   while (pos < in.size() && HexValue(in[pos]) >= 0) {
      if (++digits > 16) {
         return Fail(Error::invalid_frame_header);
      }
      size = (size << 4) | static_cast<uint64_t>(HexValue(in[pos]));
      ++pos;
   }
   if (pos == in.size()) {
      return pos >= kMaxSizeLine ? Fail(Error::invalid_frame_header) : Result();
   }
   if (digits == 0) {
      return Fail(Error::invalid_frame_header);
   }
   // Blanks and chunk extensions up to the line end are accepted and ignored.
   while (pos < in.size() && (in[pos] == ' ' || in[pos] == '\t')) {
      ++pos;
   }
   if (pos < in.size() && in[pos] == ';') {
      while (pos < in.size() && in[pos] != '\r' && in[pos] != '\n') {
         unsigned char c = static_cast<unsigned char>(in[pos]);
         if (c < 0x20 && c != '\t') {
            return Fail(Error::invalid_frame_header);
         }
         if (pos >= kMaxSizeLine) {
            return Fail(Error::invalid_frame_header);
         }
         ++pos;
      }
   }
   if (pos >= kMaxSizeLine) {
      return Fail(Error::invalid_frame_header);
   }
   if (pos == in.size()) {
      return Result();
   }
   if (in[pos] == '\r') {
      ++pos;
      if (pos == in.size()) {
         return Result();
      }
   }
   if (in[pos] != '\n') {
      return Fail(Error::invalid_frame_header);
   }
   ++pos;
   if (size == 0) {
      return ParseTrailer(in, pos);
   }
   if (size > maxChunk) {
      return Fail(Error::http_request_too_long);
   }
   auto len = static_cast<size_t>(size);
   if (in.size() - pos < len) {
      return Result();
   }
   std::string_view payload = in.substr(pos, len);
   pos += len;
   if (pos == in.size()) {
      return Result();
   }
   if (in[pos] == '\r') {
      ++pos;
      if (pos == in.size()) {
         return Result();
      }
   }
   if (in[pos] != '\n') {
      return Fail(Error::invalid_frame_header);
   }
   ++pos;
   Result r;
   r.status = Status::Chunk;
   r.payload = payload;
   r.consumed = pos;
   return r;
}

size_t FormatChunkHeader(uint64_t size, char (&out)[20])
{
   static constexpr char kHex[] = "0123456789abcdef";
   char digits[16];
   size_t n = 0;
   do {
      digits[n++] = kHex[size & 0xf];
      size >>= 4;
   } while (size != 0);
   size_t len = 0;
   while (n > 0) {
      out[len++] = digits[--n];
   }
   out[len++] = '\r';
   out[len++] = '\n';
   return len;
}

} // namespace Ruvo::Transport::PicoHttp
