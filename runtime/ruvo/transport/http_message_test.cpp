#include "runtime/ruvo/transport/http_message.h"

#include <string>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

struct Parsed {
   std::string text;
   PhrRequest req;
};

boost::system::error_code Annotate(const std::string &headerLines, HttpMessageInfo &info, bool response = false)
{
   static thread_local Parsed parsed;
   parsed.text = (response ? "HTTP/1.1 200 OK\r\n" : "POST /api HTTP/1.1\r\n") + headerLines + "\r\n";
   if (response) {
      PhrResponse resp;
      EXPECT_GT(PhrParse(parsed.text.data(), parsed.text.size(), resp), 0);
      TolowerAndSortHeaders(resp.headers);
      parsed.req.headers = resp.headers;
      return AnnotateResponse(parsed.req.headers, info);
   }
   EXPECT_GT(PhrParse(parsed.text.data(), parsed.text.size(), parsed.req), 0);
   TolowerAndSortHeaders(parsed.req.headers);
   return AnnotateRequest(parsed.req.headers, info);
}

TEST(HttpMessageTest, RequestFlagsFromHeaders)
{
   HttpMessageInfo info;
   ASSERT_FALSE(Annotate("Content-Type: application/vnd.talvor.ruvo.framed\r\n"
                         "Accept: application/json, application/vnd.talvor.ruvo+stream.json\r\n"
                         "Transfer-Encoding: chunked\r\nConnection: Keep-Alive\r\n",
                         info));
   EXPECT_TRUE(info.streaming);
   EXPECT_TRUE(info.peerAcceptsStreaming);
   EXPECT_TRUE(info.chunked);
   EXPECT_TRUE(info.keepAlive);
   EXPECT_FALSE(info.hasContentLength);
   EXPECT_EQ(info.contentType, "application/vnd.talvor.ruvo.framed");
   // Chunks beside a length, or codings other than chunked alone, leave the end of
   // the body open to two readings.
   EXPECT_EQ(Annotate("Transfer-Encoding: chunked\r\nContent-Length: 55\r\n", info), Error::http_protocol_error);
   EXPECT_EQ(Annotate("Transfer-Encoding: gzip, chunked\r\n", info), Error::http_protocol_error);
   ASSERT_FALSE(Annotate("Transfer-Encoding:  ChunKed \r\nContent-Type: application/json\r\n", info));
   EXPECT_TRUE(info.chunked);
   EXPECT_FALSE(info.streaming);
}

TEST(HttpMessageTest, CloseInAnyLetterCaseClearsKeepAlive)
{
   for (const char *value : {"close", "CLOSE", "Close", "keep-alive, cLoSe"}) {
      HttpMessageInfo info;
      ASSERT_FALSE(Annotate(std::string("Content-Length: 2\r\nConnection: ") + value + "\r\n", info));
      EXPECT_FALSE(info.keepAlive) << value;
   }
}

TEST(HttpMessageTest, ContentLengthErrors)
{
   HttpMessageInfo info;
   EXPECT_EQ(Annotate("Content-Length: 18446744073709551616\r\n", info), Error::http_request_too_long);
   EXPECT_EQ(Annotate("Content-Length: 99999999999999999999999\r\n", info), Error::http_request_too_long);
   EXPECT_EQ(Annotate("Content-Length: 12a\r\n", info), Error::invalid_request);
   EXPECT_EQ(Annotate("Content-Length: -1\r\n", info), Error::invalid_request);
   EXPECT_EQ(Annotate("Content-Length: 0\r\n", info), Error::invalid_request);
   EXPECT_EQ(Annotate("Content-Type: application/json\r\n", info), Error::invalid_request);
   EXPECT_EQ(Annotate("Content-Length: 5\r\nContent-Length: 6\r\n", info), Error::invalid_request);
   ASSERT_FALSE(Annotate("Content-Length: 5\r\nContent-Length: 5\r\n", info));
   EXPECT_EQ(info.contentLength, 5u);
   ASSERT_FALSE(Annotate("Content-Length: 18446744073709551615\r\n", info));
   EXPECT_EQ(info.contentLength, UINT64_MAX);
}

TEST(HttpMessageTest, ResponseRules)
{
   HttpMessageInfo info;
   ASSERT_FALSE(Annotate("Transfer-Encoding: chunked\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n", info, true));
   EXPECT_TRUE(info.chunked);
   EXPECT_TRUE(info.streaming);
   EXPECT_EQ(Annotate("Transfer-Encoding: gzip\r\n", info, true), Error::parse_error);
   EXPECT_EQ(Annotate("Transfer-Encoding: chunked\r\nContent-Length: 2\r\n", info, true), Error::parse_error);
   EXPECT_EQ(Annotate("Content-Length: x\r\n", info, true), Error::parse_error);
}

TEST(HttpMessageTest, ContentTypeClasses)
{
   EXPECT_TRUE(IsRecognisedContentType("application/json"));
   EXPECT_TRUE(IsRecognisedContentType("Application/JSON; charset=utf-8"));
   EXPECT_TRUE(IsRecognisedContentType("application/vnd.talvor.ruvo.cframed.cleanjson"));
   EXPECT_FALSE(IsRecognisedContentType("text/plain"));
   EXPECT_FALSE(IsRecognisedContentType(""));
   EXPECT_TRUE(IsStreamingContentType("application/vnd.talvor.ruvo.clean+stream.json"));
   EXPECT_TRUE(IsStreamingContentType("application/vnd.talvor.ruvo.cframed.cleanjson") == false);
   EXPECT_TRUE(IsCleanContentType("application/vnd.talvor.ruvo.cleanjson"));
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
