#include "runtime/ruvo/data/data_value.h"

#include <gtest/gtest.h>

#include "runtime/ruvo/data/error_value.h"

namespace {

using namespace Ruvo::Data;

TEST(DataValue, PrintedFormMasksSecretsAndBinary)
{
   auto s = std::make_shared<StructValue>("spec");
   s->SetField("provider", MakeString("p\"1\n"));
   s->SetField("plaintext", MakeSecret(Ruvo::SecretString("hunter2-key-material")));
   s->SetField("blob", MakeBinary({1, 2, 3}));
   auto list = std::make_shared<ListValue>();
   list->Add(MakeInteger(-5));
   list->Add(MakeBoolean(true));
   list->Add(MakeDouble(0.5));
   list->Add(MakeOptional());
   s->SetField("list", list);
   s->SetField("nothing", MakeVoid());

   std::string text = s->ToString();
   EXPECT_EQ(text, "spec{provider: \"p\\\"1\\x0a\", plaintext: <secret>, blob: <binary 3 bytes>, "
                   "list: [-5, true, 0.5, null], nothing: void}");
   EXPECT_EQ(text.find("hunter2"), std::string::npos);
}

TEST(DataValue, FieldsKeepOrderAndSetFieldReplacesInPlace)
{
   StructValue s("x");
   s.SetField("b", MakeInteger(1));
   s.SetField("a", MakeInteger(2));
   s.SetField("b", MakeInteger(3));
   ASSERT_EQ(s.Fields().size(), 2u);
   EXPECT_EQ(s.Fields()[0].first, "b");
   EXPECT_EQ(As<IntegerValue>(s.GetField("b"))->GetValue(), 3);
   EXPECT_EQ(s.GetField("missing"), nullptr);
   EXPECT_TRUE(s.HasField("a"));
}

TEST(DataValue, LargeStructuresFindEveryFieldAfterTheIndexIsBuilt)
{
   StructValue s;
   for (int i = 0; i < 40; ++i) {
      s.SetField("f" + std::to_string(i), MakeInteger(i));
   }
   s.SetField("f3", MakeInteger(-3));
   ASSERT_EQ(s.Fields().size(), 40u);
   for (int i = 0; i < 40; ++i) {
      ASSERT_NE(s.GetField("f" + std::to_string(i)), nullptr) << i;
   }
   EXPECT_EQ(As<IntegerValue>(s.GetField("f3"))->GetValue(), -3);
   EXPECT_EQ(As<IntegerValue>(s.GetField("f39"))->GetValue(), 39);
   EXPECT_FALSE(s.HasField("f40"));
}

TEST(DataValue, CopyIsDeepAndEqual)
{
   auto s = std::make_shared<StructValue>("x");
   auto inner = std::make_shared<ListValue>();
   inner->Add(MakeString("a"));
   s->SetField("l", inner);
   s->SetField("o", MakeOptional(MakeSecret(Ruvo::SecretString("k"))));
   DataValuePtr copy = s->Copy();
   EXPECT_TRUE(copy->Equals(*s));
   inner->Add(MakeString("b"));
   EXPECT_FALSE(copy->Equals(*s));
   EXPECT_FALSE(MakeInteger(1)->Equals(*MakeDouble(1.0)));
   EXPECT_FALSE(MakeOptional()->Equals(*MakeOptional(MakeVoid())));
   StructValue other("y");
   EXPECT_FALSE(StructValue("x").Equals(other));
}

TEST(ErrorValue, CreateRendersMessagesAndReadsThemBack)
{
   Ruvo::BaseMessage plain("a.b", "Plain {1} and {2}", {"one", "two"});
   Ruvo::BaseMessage named("c.d", "Port {port} of {service}", {},
                           {{"port", int64_t{70000}}, {"service", std::string("svc")}});
   auto error = ErrorValue::Create(StdErrors::kNotFound, {plain, named});
   EXPECT_EQ(error->GetName(), "com.talvor.ruvo.std.errors.not_found");
   auto messages = error->messages();
   ASSERT_EQ(messages.size(), 2u);
   EXPECT_EQ(messages[0].GetDefaultMessage(), "Plain one and two");
   EXPECT_EQ(messages[0].GetArgs(), (std::vector<std::string>{"one", "two"}));
   EXPECT_EQ(messages[1].GetDefaultMessage(), "Port 70000 of svc");
   EXPECT_EQ(std::get<int64_t>(messages[1].GetParams().at("port")), 70000);

   auto copy = error->CopyError();
   EXPECT_TRUE(copy->Equals(*error));
   EXPECT_EQ(copy->GetType(), DataType::Error);
}

TEST(ErrorValue, StandardErrorCarriesTypeNameAndSkipsForeignMessageEntries)
{
   auto error = StdErrors::Make(StdErrors::kInvalidArgument, {}, "INVALID_ARGUMENT");
   auto type = As<OptionalValue>(error->GetField("error_type"));
   ASSERT_NE(type, nullptr);
   EXPECT_EQ(As<StringValue>(type->GetValue())->GetValue(), "INVALID_ARGUMENT");
   EXPECT_FALSE(As<OptionalValue>(StdErrors::Make(StdErrors::kError, {})->GetField("error_type"))
                   ->IsSet());

   auto list = std::make_shared<ListValue>();
   list->Add(MakeInteger(3));
   list->Add(MessageToValue(Ruvo::BaseMessage("x", "y")));
   error->SetField("messages", list);
   ASSERT_EQ(error->messages().size(), 1u);
   EXPECT_EQ(error->messages()[0].GetId(), "x");
}

TEST(SecretString, MoveAndClearLeaveNothingBehind)
{
   Ruvo::SecretString a("short");
   Ruvo::SecretString b(std::move(a));
   EXPECT_EQ(b.Expose(), "short");
   EXPECT_TRUE(a.Empty()); // NOLINT(bugprone-use-after-move): moved-from state is defined
   Ruvo::SecretString c("a much longer secret text that lives on the heap");
   c = b;
   EXPECT_EQ(c, b);
   c.Clear();
   EXPECT_TRUE(c.Empty());
}

} // namespace
