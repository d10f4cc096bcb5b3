#include "runtime/hostlib/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Decodes through the public pair the way callers do: size, then decode.
bool Decode(const std::string &text, std::string &out)
{
   size_t capacity = Base64_DecodedLength(text.c_str(), text.size());
   std::vector<uint8_t> buf(capacity + 1);
   size_t n = 99;
   bool ok = Base64_Decode(text.c_str(), buf.data(), capacity, &n);
   out.assign(reinterpret_cast<const char *>(buf.data()), n);
   if (ok) {
      EXPECT_EQ(n, capacity) << "exact length for valid text: " << text;
   } else {
      EXPECT_EQ(n, 0U);
   }
   return ok;
}

// Standard vectors decode; everything outside the strict form is refused.
TEST(Base64, DecodesOnlyTheStrictForm)
{
   const std::pair<const char *, const char *> vectors[] = {
       {"", ""},
       {"Zg==", "f"},
       {"Zm8=", "fo"},
       {"Zm9v", "foo"},
       {"Zm9vYg==", "foob"},
       {"Zm9vYmE=", "fooba"},
       {"Zm9vYmFy", "foobar"},
       {"+/+/", "\xfb\xff\xbf"},
   };
   for (const auto &[text, expected] : vectors) {
      std::string out;
      EXPECT_TRUE(Decode(text, out)) << text;
      EXPECT_EQ(out, expected) << text;
   }
   const char *bad[] = {
       "Zg",       // unpadded
       "Zg=",      // short padding
       "Zm9v\n",   // line break
       " Zm9v",    // whitespace
       "Zm9v====", // padding group alone
       "Z===",     // three pads
       "Zg==Zg==", // padding in the middle
       "Zm=v",     // pad inside a group
       "Zh==",     // non-zero unused bits (non-canonical "f")
       "Zm9=",     // non-zero unused bits (non-canonical "fo")
       "Zm9-",     // URL-safe alphabet
       "Zm9_",
       "Zm9\xc3\xa9", // non-ASCII
   };
   for (const char *text : bad) {
      std::string out;
      EXPECT_FALSE(Decode(text, out)) << text;
   }
}

TEST(Base64, RefusesTooSmallBuffersAndEmbeddedNul)
{
   uint8_t buf[3];
   size_t n = 0;
   EXPECT_FALSE(Base64_Decode("Zm9vYmFy", buf, sizeof buf, &n));
   EXPECT_TRUE(Base64_Decode("Zm9v", buf, sizeof buf, &n));
   EXPECT_EQ(n, 3U);
   const char withNul[] = "Zm9v\0Zm9v";
   EXPECT_FALSE(Base64_DecodeBuffer(withNul, 8, buf, sizeof buf, &n));
   EXPECT_FALSE(Base64_Decode(nullptr, buf, sizeof buf, &n));
}

TEST(Base64, EncodeRoundTripsEveryLengthAndByte)
{
   std::vector<uint8_t> data;
   for (int i = 0; i < 300; ++i) {
      data.push_back(static_cast<uint8_t>(i * 37 + 11));
      std::vector<char> text(Base64_EncodedLength(data.size()) + 1);
      size_t textLen = 0;
      ASSERT_TRUE(Base64_Encode(data.data(), data.size(), text.data(), text.size(), &textLen));
      std::vector<uint8_t> back(Base64_DecodedLength(text.data(), textLen));
      size_t n = 0;
      ASSERT_TRUE(Base64_Decode(text.data(), back.data(), back.size(), &n));
      back.resize(n);
      ASSERT_EQ(back, data);
   }
   char small[4];
   EXPECT_FALSE(Base64_Encode(data.data(), 3, small, sizeof small, nullptr)); // no room for NUL
}

TEST(Base64Url, RoundTripsEveryLengthAndRefusesAnyOtherForm)
{
   std::string all;
   for (int i = 0; i < 256; ++i) {
      all.push_back(static_cast<char>(i));
   }
   for (size_t n = 0; n <= 10; ++n) {
      std::string text = Hostlib::Base64UrlEncode(all.substr(250 - n, n));
      EXPECT_EQ(text.size(), (n * 4 + 2) / 3) << "no padding";
      std::string out;
      ASSERT_TRUE(Hostlib::Base64UrlDecode(text, out)) << text;
      EXPECT_EQ(out, all.substr(250 - n, n));
   }
   std::string out;
   ASSERT_TRUE(Hostlib::Base64UrlDecode(Hostlib::Base64UrlEncode(all), out));
   EXPECT_EQ(out, all);
   EXPECT_EQ(Hostlib::Base64UrlEncode("\xfb\xff\xbf"), "-_-_");
   const char *bad[] = {
       "QQ==",  // padding
       "QR",    // bits left over
       "QUJ",   // bits left over
       "a+/b",  // standard alphabet
       "QUJDR", // impossible length
       "QU J",  // whitespace
       "QUJ\n", // line break
   };
   for (const char *text : bad) {
      out = "stale";
      EXPECT_FALSE(Hostlib::Base64UrlDecode(text, out)) << text;
      EXPECT_TRUE(out.empty()) << "nothing half-decoded is left behind: " << text;
   }
   EXPECT_FALSE(Hostlib::Base64UrlDecode(std::string_view("QUJD\0\0\0\0", 8), out)) << "NUL";
}

} // namespace
