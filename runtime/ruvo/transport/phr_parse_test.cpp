#include "runtime/ruvo/transport/phr_parse.h"

#include <string>

#include <gtest/gtest.h>

namespace Ruvo::Transport::PicoHttp {
namespace {

long ParseRequest(std::string &text, PhrRequest &req)
{
   return PhrParse(text.data(), text.size(), req);
}

TEST(PhrParseTest, RequestLineHeadersAndBlockLength)
{
   std::string text = "POST /api HTTP/1.1\r\nHost: a\r\nContent-Length:  12 \r\nX-Empty:\r\n\r\nbody";
   PhrRequest req;
   ASSERT_EQ(ParseRequest(text, req), static_cast<long>(text.size() - 4));
   EXPECT_EQ(req.method, "POST");
   EXPECT_EQ(req.path, "/api");
   EXPECT_EQ(req.minorVersion, 1);
   ASSERT_EQ(req.headers.size(), 3u);
   EXPECT_EQ(req.headers[1].Name(), "Content-Length");
   EXPECT_EQ(req.headers[1].Value(), "12");
   EXPECT_EQ(req.headers[2].Value(), "");
}

TEST(PhrParseTest, EveryPrefixOfAValidBlockIsIncomplete)
{
   const std::string full = "\r\nPOST /x HTTP/1.0\r\nA: b\r\nCc: dd\r\n\r\n";
   for (size_t n = 0; n < full.size(); ++n) {
      std::string prefix = full.substr(0, n);
      PhrRequest req;
      EXPECT_EQ(ParseRequest(prefix, req), kPhrIncomplete) << n;
   }
   std::string copy = full;
   PhrRequest req;
   EXPECT_EQ(ParseRequest(copy, req), static_cast<long>(full.size()));
}

TEST(PhrParseTest, MalformedRequestsAreErrors)
{
   for (std::string text : {std::string("POST  /api HTTP/1.1\r\n\r\n"), std::string("POST /api HTTP/2.0\r\n\r\n"),
                            std::string("PO\"ST /api HTTP/1.1\r\n\r\n"), std::string("POST /api HTTP/1.1\r\nNo colon\r\n\r\n"),
                            std::string("POST /api HTTP/1.1\r\nA: b\r\n folded\r\n\r\n"),
                            std::string("POST /api HTTP/1.1\r\nA: b\x01\r\n\r\n"),
                            std::string("POST /api HTTP/1.1\r\nA: b\rc\r\n\r\n"),
                            std::string("POST /api HTTP/1.1\r\nA: b\0c\r\n\r\n", 26),
                            std::string("POST /api HTTP/1.1\r\n: empty\r\n\r\n")}) {
      PhrRequest req;
      EXPECT_EQ(ParseRequest(text, req), kPhrError) << text;
   }
}

TEST(PhrParseTest, TooManyHeadersIsAnError)
{
   std::string text = "POST /api HTTP/1.1\r\n";
   for (size_t i = 0; i <= kPhrMaxHeaders; ++i) {
      text += "H" + std::to_string(i) + ": v\r\n";
   }
   text += "\r\n";
   PhrRequest req;
   EXPECT_EQ(ParseRequest(text, req), kPhrError);
}

TEST(PhrParseTest, ResponseWithAndWithoutReason)
{
   std::string text = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
   PhrResponse resp;
   ASSERT_EQ(PhrParse(text.data(), text.size(), resp), static_cast<long>(text.size()));
   EXPECT_EQ(resp.status, 404);
   EXPECT_EQ(resp.message, "Not Found");
   std::string bare = "HTTP/1.1 200\nA: b\n\n";
   ASSERT_EQ(PhrParse(bare.data(), bare.size(), resp), static_cast<long>(bare.size()));
   EXPECT_EQ(resp.status, 200);
   EXPECT_EQ(resp.message, "");
   std::string bad = "HTTP/1.1 20x OK\r\n\r\n";
   EXPECT_EQ(PhrParse(bad.data(), bad.size(), resp), kPhrError);
}

TEST(PhrParseTest, TolowerAndSortKeepsOrderOfEqualNames)
{
   std::string text = "POST / HTTP/1.1\r\nX-B: 1\r\nAccept: a\r\nx-b: 2\r\nCONTENT-TYPE: t\r\n\r\n";
   PhrRequest req;
   ASSERT_GT(ParseRequest(text, req), 0);
   TolowerAndSortHeaders(req.headers);
   ASSERT_EQ(req.headers.size(), 4u);
   EXPECT_EQ(req.headers[0].Name(), "accept");
   EXPECT_EQ(req.headers[1].Name(), "content-type");
   EXPECT_EQ(req.headers[2].Name(), "x-b");
   EXPECT_EQ(req.headers[2].Value(), "1");
   EXPECT_EQ(req.headers[3].Value(), "2");
   // Lower-casing happened in the buffer itself.
   EXPECT_NE(text.find("content-type: t"), std::string::npos);
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
