#include "runtime/ruvo/json/value_codec.h"

#include <gtest/gtest.h>

#include <cmath>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/json/json_reader.h"

namespace {

using namespace Ruvo::Data;
using Ruvo::Protocol::Json::AppendValue;
using Ruvo::Protocol::Json::ValueFromJson;

enum class Kind { TOKEN, OTHER };
constexpr std::array<const char *, 2> RuvoEnumNames(Kind) { return {"TOKEN", "OTHER"}; }

struct Doc {
   Kind type;
   std::optional<std::string> content;
   Binary blob;
   Ruvo::SecretString key;
   std::vector<double> weights;
   static constexpr const char *kStructName = "doc";
   static constexpr auto Fields()
   {
      using Ruvo::Binding::Field;
      return std::make_tuple(Field("type", &Doc::type), Field("content", &Doc::content),
                             Field("blob", &Doc::blob), Field("key", &Doc::key),
                             Field("weights", &Doc::weights));
   }
};

struct Outer {
   std::vector<std::optional<int64_t>> items;
   std::map<std::string, std::optional<std::string>> names;
   DataValuePtr anything;
   DataValuePtr nothing;
   std::optional<Doc> doc;
   std::shared_ptr<const Doc> shared;
   std::vector<Doc> docs;
   static constexpr const char *kStructName = "outer";
   static constexpr auto Fields()
   {
      using Ruvo::Binding::Field;
      return std::make_tuple(Field("items", &Outer::items), Field("names", &Outer::names),
                             Field("anything", &Outer::anything), Field("nothing", &Outer::nothing),
                             Field("doc", &Outer::doc), Field("shared", &Outer::shared),
                             Field("docs", &Outer::docs));
   }
};

std::string Write(const DataValue &v)
{
   std::string out;
   std::string reason;
   EXPECT_TRUE(AppendValue(v, out, reason)) << reason;
   return out;
}

DataValuePtr Read(const std::string &text, const TypeDesc &type, std::string *problem = nullptr)
{
   nlohmann::json doc;
   std::string reason;
   EXPECT_TRUE(Ruvo::Protocol::Json::ReadDocument(text, {}, doc, reason)) << reason;
   DataValuePtr out;
   Ruvo::Binding::CodecContext ctx;
   if (!ValueFromJson(doc, type, out, ctx)) {
      if (problem != nullptr) {
         *problem = ctx.Messages().at(0).ToString();
      }
      return nullptr;
   }
   return out;
}

TEST(ValueCodec, TypedRoundTripKeepsSecretsAndBinaryAndOmitsUnsetOptionals)
{
   Doc doc{Kind::OTHER, std::nullopt, {0, 1, 254}, Ruvo::SecretString("k\"1"), {1.0, 0.25}};
   Ruvo::Binding::CodecContext ctx;
   auto value = Ruvo::Binding::ToDataValue(doc, ctx);
   std::string text = Write(*value);
   EXPECT_EQ(text, R"({"type":"OTHER","blob":"AAH+","key":"k\"1","weights":[1.0,0.25]})");
   auto back = Read(text, Ruvo::Binding::Codec<Doc>::Desc());
   ASSERT_NE(back, nullptr);
   EXPECT_TRUE(back->Equals(*value)) << back->ToString();
   EXPECT_EQ(back->ToString().find("k\\\"1"), std::string::npos);
}

TEST(ValueCodec, TypedReadingNamesTheOffendingField)
{
   const auto &type = Ruvo::Binding::Codec<Doc>::Desc();
   std::string problem;
   EXPECT_EQ(Read(R"({"type":"TOKEN","blob":"","key":"x"})", type, &problem), nullptr);
   EXPECT_EQ(problem, "ruvo.data.missing.field: Missing field weights");
   EXPECT_EQ(Read(R"({"type":"NEW","blob":"","key":"x","weights":[]})", type, &problem), nullptr);
   EXPECT_EQ(problem, "ruvo.data.invalid.value: Invalid value for type: unknown enumeration value");
   EXPECT_EQ(Read(R"({"type":"TOKEN","blob":"!!","key":"x","weights":[]})", type, &problem), nullptr);
   EXPECT_EQ(Read(R"({"type":"TOKEN","blob":"","key":"x","weights":["1"]})", type, &problem), nullptr);
   EXPECT_EQ(problem, "ruvo.data.invalid.type: Invalid data type of weights[0]: expected number, found string");
   EXPECT_EQ(Read(R"({"type":"TOKEN","blob":"","key":7,"weights":[]})", type, &problem), nullptr);
   EXPECT_EQ(problem, "ruvo.data.invalid.type: Invalid data type of key: expected string, found integer");
   // Unknown fields are dropped, null stands for an absent optional.
   auto ok = Read(R"({"type":"TOKEN","content":null,"blob":"","key":"","weights":[],"extra":[1]})", type);
   ASSERT_NE(ok, nullptr);
   EXPECT_FALSE(As<StructValue>(ok)->HasField("extra"));

   const auto &integer = TypeDesc::Of(TypeKind::Integer);
   EXPECT_EQ(Read("1.5", integer, &problem), nullptr);
   EXPECT_EQ(Read("true", integer, &problem), nullptr);
   EXPECT_NE(Read("-9223372036854775808", integer), nullptr);
   // Past 2^63-1 the first pass refuses the text; past 2^64-1 the JSON layer has
   // only a double for it, which an integer refuses by its type.
   nlohmann::json doc;
   std::string reason;
   EXPECT_FALSE(Ruvo::Protocol::Json::ReadDocument("9223372036854775808", {}, doc, reason));
   EXPECT_EQ(reason, "integer outside the signed 64-bit range");
   EXPECT_EQ(Read("99999999999999999999", integer, &problem), nullptr);
   EXPECT_EQ(problem, "ruvo.data.invalid.type: Invalid data type of value: expected integer, found number");
}

TEST(ValueCodec, DynamicReadingFollowsTheShapeAndErrorsKeepTheirName)
{
   auto v = Read(R"({"a":[1,2.5,"x",true,null,{}]})", TypeDesc::Of(TypeKind::Dynamic));
   ASSERT_NE(v, nullptr);
   EXPECT_EQ(v->ToString(), R"({a: [1, 2.5, "x", true, null, {}]})");
   EXPECT_EQ(Write(*v), R"({"a":[1,2.5,"x",true,null,{}]})");

   auto error = ErrorValue::Create(StdErrors::kNotFound, {Ruvo::BaseMessage("m.id", "Text {1}", {"a"})});
   std::string text = Write(*error);
   EXPECT_EQ(text, R"({"name":"com.talvor.ruvo.std.errors.not_found","fields":{"messages":[{"id":"m.id","default_message":"Text a","args":["a"]}]}})");
   static const TypeDesc errorType{TypeKind::Error, {}, nullptr, {}, {}};
   auto back = Read(text, errorType);
   ASSERT_NE(back, nullptr);
   EXPECT_EQ(std::dynamic_pointer_cast<ErrorValue>(back)->messages().at(0).GetDefaultMessage(), "Text a");
   std::string problem;
   EXPECT_EQ(Read(R"({"fields":{}})", errorType, &problem), nullptr);
   EXPECT_EQ(Read(R"({"name":"x","fields":{"messages":[{"default_message":"no id"}]}})", errorType, &problem),
             nullptr);
}

TEST(ValueCodec, WritingRefusesWhatJsonCannotCarry)
{
   std::string out = "keep";
   std::string reason;
   EXPECT_FALSE(AppendValue(*MakeDouble(NAN), out, reason));
   EXPECT_EQ(out, "keep");
   EXPECT_FALSE(AppendValue(*MakeString("\xff"), out, reason));
   EXPECT_EQ(reason, "text is not valid UTF-8");
   DataValuePtr deep = MakeInteger(1);
   for (int i = 0; i < 70; ++i) {
      auto list = std::make_shared<ListValue>();
      list->Add(deep);
      deep = list;
   }
   EXPECT_FALSE(AppendValue(*deep, out, reason));
   EXPECT_EQ(Write(*MakeString(std::string("a\x01\n\"\\", 5))), R"("a\u0001\n\"\\")");
}

// A native result goes out as the text of its data value; where the value writer
// would refuse, the native writer leaves it to the value writer.
TEST(ValueCodec, NativeResultsAreWrittenAsTheirDataValues)
{
   const Doc doc{Kind::TOKEN, "c\u00e9", {9, 8}, Ruvo::SecretString("s"), {0.5, 3.0}};
   auto dynamic = std::make_shared<StructValue>("dyn");
   dynamic->SetField("list", std::make_shared<ListValue>());
   dynamic->SetField("unset", MakeOptional());
   Outer outer{{1, std::nullopt, -3}, {{"a", "x"}, {"b", std::nullopt}}, dynamic, MakeOptional(),
               doc, std::make_shared<const Doc>(doc), {doc, Doc{}}};
   // Written both ways: equal where the native writer writes; true when it did.
   auto same = [](const Outer &value, int maxDepth) {
      Ruvo::Binding::TypedResult<Outer> typed(value);
      std::string direct = "head";
      const bool written = Ruvo::Protocol::Json::AppendTyped(typed, direct, maxDepth);
      std::string viaValue = "head";
      std::string reason;
      const bool valueWritten = AppendValue(*typed.ToValue(), viaValue, reason, maxDepth);
      EXPECT_TRUE(written ? valueWritten && direct == viaValue : direct == "head") << direct;
      return written;
   };
   EXPECT_TRUE(same(outer, 64));
   for (int depth = 0; depth < 4; ++depth) { // the weights of the optional document are at 4
      EXPECT_FALSE(same(outer, depth)) << depth;
   }
   Outer bad = outer;
   bad.names["\xff"] = "x";
   EXPECT_FALSE(same(bad, 64));
   bad = outer;
   bad.docs[1].weights = {NAN};
   EXPECT_FALSE(same(bad, 64));

   // The checks of the codecs run on the way, as they do when converting.
   Ruvo::Binding::CodecContext ctx;
   DiscardingEmitter discard;
   bad = outer;
   bad.shared = nullptr;
   Ruvo::Binding::Codec<Outer>::Emit(bad, discard, ctx);
   ASSERT_FALSE(ctx.Ok());
   EXPECT_NE(ctx.Messages()[0].ToString().find("required value is missing"), std::string::npos);
   Ruvo::Binding::CodecContext enumCtx;
   bad = outer;
   bad.docs[0].type = static_cast<Kind>(7);
   Ruvo::Binding::Codec<Outer>::Emit(bad, discard, enumCtx);
   EXPECT_FALSE(enumCtx.Ok());
}

// Text is written as a plain JSON writer would, whichever byte sits wherever in
// the eight-byte steps of the scan; what is not UTF-8 is refused.
TEST(ValueCodec, EveryByteAnywhereIsWrittenOrRefusedRightly)
{
   for (int byte = 0; byte < 256; ++byte) {
      for (size_t at = 0; at < 18; ++at) {
         std::string text(19, 'a');
         text[at] = static_cast<char>(byte);
         std::string out;
         std::string reason;
         const bool written = AppendValue(*MakeString(text), out, reason);
         if (byte < 0x80) {
            EXPECT_TRUE(written && out == nlohmann::json(text).dump()) << byte << " at " << at;
         } else {
            EXPECT_FALSE(written) << byte << " at " << at;
         }
      }
   }
   const std::string mixed = "plain text, then caf\xc3\xa9 \xf0\x9f\x98\x80 and a \"quote\"";
   std::string out;
   std::string reason;
   ASSERT_TRUE(AppendValue(*MakeString(mixed), out, reason));
   EXPECT_EQ(out, nlohmann::json(mixed).dump());
}

} // namespace
