#include "runtime/hostlib/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Utf8(const std::string &s)
{
   return Unicode_IsBufferValid(s.data(), s.size(), STRING_ENCODING_UTF8);
}

TEST(Unicode, AcceptsWellFormedUtf8)
{
   EXPECT_TRUE(Utf8(""));
   EXPECT_TRUE(Utf8("plain ascii"));
   EXPECT_TRUE(Utf8("caf\xc3\xa9"));          // U+00E9
   EXPECT_TRUE(Utf8("\xe2\x82\xac"));         // U+20AC
   EXPECT_TRUE(Utf8("\xef\xbf\xbf"));         // U+FFFF
   EXPECT_TRUE(Utf8("\xf0\x9f\x98\x80"));     // U+1F600
   EXPECT_TRUE(Utf8("\xf4\x8f\xbf\xbf"));     // U+10FFFF, the last code point
   EXPECT_TRUE(Utf8(std::string("a\0b", 3))); // NUL is a character
}

TEST(Unicode, RejectsMalformedUtf8)
{
   EXPECT_FALSE(Utf8("\x80"));                 // lone continuation
   EXPECT_FALSE(Utf8("\xc3"));                 // truncated at end
   EXPECT_FALSE(Utf8("\xe2\x82"));             // truncated at end
   EXPECT_FALSE(Utf8("\xc3(x"));               // bad continuation
   EXPECT_FALSE(Utf8("\xc0\xaf"));             // overlong "/"
   EXPECT_FALSE(Utf8("\xe0\x80\xaf"));         // overlong, three bytes
   EXPECT_FALSE(Utf8("\xf0\x80\x80\xaf"));     // overlong, four bytes
   EXPECT_FALSE(Utf8("\xed\xa0\x80"));         // U+D800 surrogate
   EXPECT_FALSE(Utf8("\xed\xbf\xbf"));         // U+DFFF surrogate
   EXPECT_FALSE(Utf8("\xf4\x90\x80\x80"));     // U+110000
   EXPECT_FALSE(Utf8("\xf8\x88\x80\x80\x80")); // five-byte form
   EXPECT_FALSE(Utf8("\xff"));
}

TEST(Unicode, AsciiAndUnknownEncodings)
{
   EXPECT_TRUE(Unicode_IsBufferValid("abc", 3, STRING_ENCODING_US_ASCII));
   EXPECT_FALSE(Unicode_IsBufferValid("caf\xc3\xa9", 5, STRING_ENCODING_US_ASCII));
   EXPECT_FALSE(Unicode_IsBufferValid("abc", 3, static_cast<StringEncoding>(42)));
   EXPECT_FALSE(Unicode_IsBufferValid(nullptr, 3, STRING_ENCODING_UTF8));
}

} // namespace
