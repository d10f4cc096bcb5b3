#include "runtime/ruvo/json/json_reader.h"

#include <gtest/gtest.h>

namespace {

using Ruvo::Protocol::Json::Limits;
using Ruvo::Protocol::Json::ReadDocument;

bool Reads(std::string_view text, std::string *reason = nullptr, Limits limits = {})
{
   nlohmann::json doc;
   std::string r;
   bool ok = ReadDocument(text, limits, doc, r);
   if (reason != nullptr) {
      *reason = r;
   }
   return ok;
}

TEST(JsonReader, RefusesDeepNestingWithoutRecursing)
{
   std::string deep(1000000, '[');
   std::string reason;
   EXPECT_FALSE(Reads(deep, &reason));
   EXPECT_EQ(reason, "nesting deeper than 64");
   std::string ok = std::string(64, '[') + std::string(64, ']');
   EXPECT_TRUE(Reads(ok));
   EXPECT_FALSE(Reads("[" + ok + "]"));
   std::string objects;
   for (int i = 0; i < 65; ++i) {
      objects += "{\"a\":";
   }
   EXPECT_FALSE(Reads(objects + "1" + std::string(65, '}')));
}

TEST(JsonReader, RefusesWhatValuesCannotCarry)
{
   std::string reason;
   EXPECT_FALSE(Reads(R"({"a":1,"a":2})", &reason));
   EXPECT_EQ(reason, "duplicate key \"a\"");
   EXPECT_TRUE(Reads(R"({"a":{"a":1},"b":{"a":2}})"));
   // A nested object's keys are its own; the outer object's still count after it.
   EXPECT_FALSE(Reads(R"({"a":{"b":1,"c":2},"c":3,"a":4})", &reason));
   EXPECT_EQ(reason, "duplicate key \"a\"");
   // Many keys: a repeat is found whether it repeats an early key or a late one.
   std::string many = "{";
   for (int i = 0; i < 40; ++i) {
      many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
   }
   EXPECT_TRUE(Reads(many + "\"end\":0}"));
   EXPECT_FALSE(Reads(many + "\"k3\":0}", &reason));
   EXPECT_EQ(reason, "duplicate key \"k3\"");
   EXPECT_FALSE(Reads(many + "\"k39\":0}"));
   EXPECT_FALSE(Reads("[9223372036854775808]", &reason));
   EXPECT_EQ(reason, "integer outside the signed 64-bit range");
   EXPECT_TRUE(Reads("[9223372036854775807,-9223372036854775808]"));
   EXPECT_FALSE(Reads("[1e400]"));
   {
      // Numbers are exactly what a correctly rounding reader makes of them.
      nlohmann::json doc;
      ASSERT_TRUE(ReadDocument("[0e-72,1e-400,0.1,-0,18446744073709551616,-12,2.2250738585072011e-308]",
                               {}, doc, reason));
      EXPECT_EQ(doc.dump(), nlohmann::json::parse("[0.0,0.0,0.1,0,1.8446744073709552e19,-12,"
                                                  "2.2250738585072011e-308]")
                                .dump());
      EXPECT_TRUE(doc[5].is_number_integer() && doc[3].is_number_integer() && doc[2].is_number_float());
   }
   EXPECT_FALSE(Reads("[\"\xff\"]"));
   EXPECT_FALSE(Reads("[\"\xc0\xaf\"]"));        // overlong
   EXPECT_FALSE(Reads(R"(["\ud800"])"));          // lone surrogate escape
   EXPECT_FALSE(Reads(R"(["\udc00"])", &reason)); // lone low half: spelled as bytes no text may hold
   EXPECT_EQ(reason, "unpaired surrogate escape");
   EXPECT_FALSE(Reads(R"({"\udfff":1})"));
   EXPECT_TRUE(Reads(R"(["\u0000", "\u00e9\ud7ff\ue000"])"));
   EXPECT_FALSE(Reads(std::string("[1]\0 x", 6)));  // nothing may hide behind a NUL
   EXPECT_FALSE(Reads(std::string("[\"a\0\"]", 6)));
   EXPECT_TRUE(Reads("\xEF\xBB\xBF [1]"));       // a byte order mark, as before
   for (char c = 1; c < 0x20; ++c) {               // raw control characters, even deep in long text
      EXPECT_FALSE(Reads("[\"" + std::string(40, 'x') + c + std::string(40, 'y') + "\"]")) << int(c);
   }
   EXPECT_TRUE(Reads(R"(["\ud83d\ude00"])"));
   EXPECT_FALSE(Reads("[1] x"));
   EXPECT_FALSE(Reads("[1,]"));
   EXPECT_FALSE(Reads("/* c */ [1]"));
   EXPECT_FALSE(Reads(""));
   Limits small;
   small.maxBytes = 4;
   EXPECT_FALSE(Reads("[1,2]", &reason, small));
   EXPECT_EQ(reason, "message larger than 4 bytes");
}

// Text that is cheap to send but dear to build (each "[]," or "{}," becomes a
// whole value) is refused by its count of values, before anything is built.
TEST(JsonReader, RefusesMoreValuesThanTheLimitWhateverTheirShape)
{
   std::string reason;
   for (std::string item : {"[]", "{}", "0", "\"\""}) {
      std::string many = "[";
      for (int i = 0; i < 200000; ++i) {
         many += (i == 0 ? "" : ",") + item;
      }
      many += "]";
      EXPECT_FALSE(Reads(many, &reason)) << item;
      EXPECT_EQ(reason, "more than 32768 values");
   }
   Limits few;
   few.maxValues = 4;
   EXPECT_TRUE(Reads(R"({"a":[1]})", nullptr, few));
   EXPECT_FALSE(Reads(R"({"a":[1,2]})", nullptr, few));
   EXPECT_FALSE(Reads(R"({"a":{},"b":{},"c":{},"d":{}})", nullptr, few));
}

} // namespace
