#include "runtime/hostlib/safe_text.h"

#include <gtest/gtest.h>

TEST(EscapeText, EscapesWhatCouldForgeOrBreakALineAndBoundsLength)
{
   EXPECT_EQ(Hostlib::EscapeText("kl:v1/p%20q"), "kl:v1/p%20q");
   EXPECT_EQ(Hostlib::EscapeText("a\nb\\\x1b\xff\""), "a\\x0ab\\x5c\\x1b\\xff\\x22");
   EXPECT_EQ(Hostlib::EscapeText(std::string_view("a\0b", 3)), "a\\x00b");
   EXPECT_EQ(Hostlib::EscapeText("abcdef", 3), "abc...");
   EXPECT_EQ(Hostlib::EscapeText("abc", 3), "abc");
}
