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

TEST(Unicode, RejectsMalformedUtf8AndFindsWhereItStarts)
{
   const char *bad[] = {
      "\x80",                 // lone continuation
      "\xc3",                 // truncated at end
      "\xe2\x82",             // truncated at end
      "\xc3(x",               // bad continuation
      "\xc0\xaf",             // overlong "/"
      "\xe0\x80\xaf",         // overlong, three bytes
      "\xf0\x80\x80\xaf",     // overlong, four bytes
      "\xed\xa0\x80",         // U+D800 surrogate
      "\xed\xbf\xbf",         // U+DFFF surrogate
      "\xf4\x90\x80\x80",     // U+110000
      "\xf8\x88\x80\x80\x80", // five-byte form
      "\xff",
   };
   for (const char *b : bad) {
      EXPECT_FALSE(Utf8(b)) << b;
      // Behind runs of ASCII of every length around the eight-byte steps, and of
      // valid multi-byte text: the offset is that of the bad sequence.
      for (size_t lead = 0; lead < 20; ++lead) {
         const std::string prefix = std::string(lead, 'a') + (lead % 3 == 0 ? "\xc3\xa9" : "");
         const std::string text = prefix + b + "tail of plain text";
         EXPECT_EQ(Unicode_ValidUtf8Prefix(text.data(), text.size()), prefix.size()) << lead << " " << b;
         EXPECT_FALSE(Utf8(text));
      }
   }
   const std::string good = std::string(37, 'x') + "\xf0\x9f\x98\x80" + std::string(9, 'y');
   EXPECT_EQ(Unicode_ValidUtf8Prefix(good.data(), good.size()), good.size());
}

TEST(Unicode, AsciiAndUnknownEncodings)
{
   EXPECT_TRUE(Unicode_IsBufferValid("abc", 3, STRING_ENCODING_US_ASCII));
   EXPECT_FALSE(Unicode_IsBufferValid("caf\xc3\xa9", 5, STRING_ENCODING_US_ASCII));
   EXPECT_FALSE(Unicode_IsBufferValid("abc", 3, static_cast<StringEncoding>(42)));
   EXPECT_FALSE(Unicode_IsBufferValid(nullptr, 3, STRING_ENCODING_UTF8));
}

} // namespace
