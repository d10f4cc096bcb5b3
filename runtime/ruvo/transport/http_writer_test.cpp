#include "runtime/ruvo/transport/http_writer.h"

#include <gtest/gtest.h>

namespace Ruvo::Transport::PicoHttp {
namespace {

TEST(HttpWriterTest, ClientRequestBytes)
{
   GatheredMessage m;
   std::string body = R"({"version":"1.1"})";
   BuildClientRequest(m, "kms.example", body);
   EXPECT_EQ(m.Flatten(),
             "POST /api HTTP/1.1\r\nHost: kms.example\r\nContent-Length: 17\r\n"
             "Content-Type: application/json\r\n"
             "Accept: application/vnd.talvor.ruvo+stream.json,application/vnd.talvor.ruvo.framed,application/json\r\n"
             "Connection: close\r\nUser-Agent: Ruvo C++ runtime\r\n\r\n"
             R"({"version":"1.1"})");
   // The body goes out from the caller's buffer, not from a copy.
   EXPECT_EQ(m.Buffers().back().data(), body.data());
   // An empty body still carries its length.
   GatheredMessage empty;
   BuildClientRequest(empty, "h", "");
   EXPECT_NE(empty.Flatten().find("\r\nContent-Length: 0\r\n"), std::string::npos);
   EXPECT_EQ(empty.Flatten().substr(empty.Flatten().size() - 4), "\r\n\r\n");
}

TEST(HttpWriterTest, BodyReplyBytes)
{
   GatheredMessage m;
   ExtraHeaders extra = {{"ruvo-x", "1"}, {"B", "two"}};
   BuildBodyReply(m, "application/json", true, extra, "{}");
   EXPECT_EQ(m.Flatten(),
             "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: application/json\r\n"
             "Connection: Keep-Alive\r\nServer: PicoHttp\r\nruvo-x: 1\r\nB: two\r\n\r\n{}");
}

TEST(HttpWriterTest, FramedChunkReplyBytes)
{
   GatheredMessage m;
   std::vector<std::string> messages = {std::string(26, 'm'), "{}"};
   BuildFramedChunkReply(m, "application/vnd.talvor.ruvo+stream.json", false, {}, messages);
   EXPECT_EQ(m.Flatten(),
             "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
             "Transfer-Encoding: chunked\r\nConnection: close\r\nServer: PicoHttp\r\n\r\n"
             "1a\r\n" + std::string(26, 'm') + "\r\n2\r\n{}\r\n0\r\n\r\n");
}

// One write system call takes at most 16 buffers; a reply split over two goes out
// as two segments. Coalescing keeps the bytes and leaves large messages in place.
TEST(HttpWriterTest, CoalescedReplyKeepsBytesInFewBuffers)
{
   auto joined = [](const std::vector<boost::asio::const_buffer> &buffers) {
      std::string all;
      for (const auto &b : buffers) {
         all.append(static_cast<const char *>(b.data()), b.size());
      }
      return all;
   };
   GatheredMessage small;
   ExtraHeaders extra = {{"ruvo-a", "1"}, {"ruvo-b", "2"}, {"ruvo-c", "3"}};
   BuildBodyReply(small, "application/json", true, extra, R"({"ok":true})");
   ASSERT_GT(small.Buffers().size(), 16u);
   auto one = small.Coalesced();
   EXPECT_EQ(one.size(), 1u);
   EXPECT_EQ(joined(one), small.Flatten());

   GatheredMessage framed;
   std::vector<std::string> messages = {std::string(5000, 'a'), "{}", std::string(3000, 'b')};
   BuildFramedChunkReply(framed, "application/vnd.talvor.ruvo+stream.json", true, extra, messages);
   auto few = framed.Coalesced();
   EXPECT_EQ(joined(few), framed.Flatten());
   // header | message | "\r\n" + small chunk + chunk header | message | trailer
   ASSERT_EQ(few.size(), 5u);
   EXPECT_EQ(few[1].data(), messages[0].data());
   EXPECT_EQ(few[3].data(), messages[2].data());
   // Built again, the block is rebuilt rather than appended to.
   EXPECT_EQ(joined(framed.Coalesced()), framed.Flatten());
}

TEST(HttpWriterTest, HeaderSafety)
{
   EXPECT_TRUE(IsHeaderNameSafe("ruvo-method-id"));
   EXPECT_FALSE(IsHeaderNameSafe("a b"));
   EXPECT_FALSE(IsHeaderNameSafe(""));
   EXPECT_TRUE(IsHeaderValueSafe("text\twith tab"));
   EXPECT_FALSE(IsHeaderValueSafe("x\r\nInjected: 1"));
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
