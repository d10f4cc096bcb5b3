#include "runtime/hostlib/safe_text.h"

#include <gtest/gtest.h>

namespace {

std::string LogSafe(std::string_view text, size_t maxBytes = 1024, size_t whole = 0)
{
   std::string out = "> ";
   Hostlib::AppendLogSafe(out, text, maxBytes, whole);
   return out;
}

TEST(EscapeText, EscapesWhatCouldForgeOrBreakALineAndBoundsLength)
{
   EXPECT_EQ(Hostlib::EscapeText("kl:v1/p%20q"), "kl:v1/p%20q");
   EXPECT_EQ(Hostlib::EscapeText("a\nb\\\x1b\xff\""), "a\\x0ab\\x5c\\x1b\\xff\\x22");
   EXPECT_EQ(Hostlib::EscapeText(std::string_view("a\0b", 3)), "a\\x00b");
   EXPECT_EQ(Hostlib::EscapeText("abcdef", 3), "abc...");
   EXPECT_EQ(Hostlib::EscapeText("abc", 3), "abc");
}

TEST(AppendLogSafe, EscapesControlsAndBrokenUtf8ButKeepsText)
{
   EXPECT_EQ(LogSafe("host \"a\\b\" ok"), "> host \"a\\b\" ok");
   EXPECT_EQ(LogSafe("a\r\nb\x1b[31mc\x7f"), "> a\\x0d\\x0ab\\x1b[31mc\\x7f");
   EXPECT_EQ(LogSafe(std::string_view("\0", 1)), "> \\x00");
   // Valid UTF-8 stays readable; C1 controls (CSI), separators and direction
   // overrides do not.
   EXPECT_EQ(LogSafe("gr\xc3\xbcn \xe2\x82\xac \xf0\x9f\x94\x91"),
             "> gr\xc3\xbcn \xe2\x82\xac \xf0\x9f\x94\x91");
   EXPECT_EQ(LogSafe("\xc2\x9b"
                     "2J"),
             "> \\xc2\\x9b2J");
   EXPECT_EQ(LogSafe("a\xe2\x80\xa8"
                     "b\xe2\x80\xae"),
             "> a\\xe2\\x80\\xa8b\\xe2\\x80\\xae");
   // Overlong, surrogate, truncated and stray bytes are shown byte by byte.
   EXPECT_EQ(LogSafe("\xc0\x8a|\xed\xa0\x80|\xe2\x82|\x80"),
             "> \\xc0\\x8a|\\xed\\xa0\\x80|\\xe2\\x82|\\x80");
}

TEST(AppendLogSafe, CutsAtTheBoundNeverInsideACharacterOrEscapeAndCountsWhatWasLeftOut)
{
   EXPECT_EQ(LogSafe("abcdef", 6), "> abcdef");
   EXPECT_EQ(LogSafe("abcdef", 4), "> abcd...[cut 2 bytes]");
   // "\n" takes four bytes: with three left it is not started.
   EXPECT_EQ(LogSafe("ab\ncd", 5), "> ab...[cut 3 bytes]");
   EXPECT_EQ(LogSafe("a\xc3\xbc", 2), "> a...[cut 2 bytes]");
   // Only the beginning of a longer text was handed over.
   EXPECT_EQ(LogSafe("abc", 10, 5000000), "> abc...[cut 4999997 bytes]");
   EXPECT_EQ(LogSafe(std::string(5000000, '\n'), 1024).size(),
             2 + 1024 + std::string("...[cut 4999744 bytes]").size());
}

} // namespace
