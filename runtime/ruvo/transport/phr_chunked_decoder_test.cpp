#include "runtime/ruvo/transport/phr_chunked_decoder.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

using Status = PhrChunkedDecoder::Status;

// Decodes a whole body; returns the chunks, or the error.
boost::system::error_code DecodeAll(std::string_view body, std::vector<std::string> &chunks, bool &ended)
{
   ended = false;
   for (;;) {
      auto r = PhrChunkedDecoder::Decode(body, 1 << 20);
      switch (r.status) {
      case Status::Chunk:
         chunks.emplace_back(r.payload);
         body.remove_prefix(r.consumed);
         break;
      case Status::End:
         ended = r.consumed == body.size();
         return {};
      case Status::NeedMore:
         return Error::incomplete_frame;
      case Status::Error:
         return r.error;
      }
   }
}

TEST(PhrChunkedDecoderTest, ChunksExtensionsAndTrailers)
{
   std::vector<std::string> chunks;
   bool ended = false;
   ASSERT_FALSE(DecodeAll("5\r\nhello\r\nA;name=v\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n", chunks, ended));
   EXPECT_TRUE(ended);
   ASSERT_EQ(chunks.size(), 2u);
   EXPECT_EQ(chunks[0], "hello");
   EXPECT_EQ(chunks[1], "0123456789");
}

TEST(PhrChunkedDecoderTest, EveryPrefixNeedsMore)
{
   const std::string body = "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n";
   size_t firstChunkEnd = body.find("0\r\n\r\n");
   for (size_t n = 0; n < firstChunkEnd; ++n) {
      auto r = PhrChunkedDecoder::Decode(std::string_view(body).substr(0, n), 1 << 20);
      EXPECT_EQ(r.status, Status::NeedMore) << n;
   }
   auto r = PhrChunkedDecoder::Decode(body, 1 << 20);
   EXPECT_EQ(r.status, Status::Chunk);
   EXPECT_EQ(r.consumed, firstChunkEnd);
}

TEST(PhrChunkedDecoderTest, FramingErrors)
{
   for (const char *bad : {"x\r\n", "5\r\nhelloXX", "5 x\r\nhello\r\n", "11111111111111111\r\n",
                           "5\rhello\r\n", "0\r\nbad\rtrailer\r\n\r\n"}) {
      auto r = PhrChunkedDecoder::Decode(bad, 1 << 20);
      EXPECT_EQ(r.status, Status::Error) << bad;
      EXPECT_EQ(r.error, Error::invalid_frame_header) << bad;
   }
   std::string longExt = "5;" + std::string(PhrChunkedDecoder::kMaxSizeLine, 'e');
   EXPECT_EQ(PhrChunkedDecoder::Decode(longExt, 1 << 20).error, Error::invalid_frame_header);
   std::string longTrailer = "0\r\nX: " + std::string(PhrChunkedDecoder::kMaxTrailer, 't');
   EXPECT_EQ(PhrChunkedDecoder::Decode(longTrailer, 1 << 20).error, Error::invalid_frame_header);
}

TEST(PhrChunkedDecoderTest, OversizedChunkFailsBeforeItsBytesArrive)
{
   auto r = PhrChunkedDecoder::Decode("ffffffffffffffff\r\n", 20000000);
   EXPECT_EQ(r.status, Status::Error);
   EXPECT_EQ(r.error, Error::http_request_too_long);
}

TEST(PhrChunkedDecoderTest, ChunkHeaderFormat)
{
   char out[20];
   EXPECT_EQ(std::string(out, FormatChunkHeader(0, out)), "0\r\n");
   EXPECT_EQ(std::string(out, FormatChunkHeader(0x1a2b, out)), "1a2b\r\n");
   EXPECT_EQ(std::string(out, FormatChunkHeader(UINT64_MAX, out)), "ffffffffffffffff\r\n");
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
