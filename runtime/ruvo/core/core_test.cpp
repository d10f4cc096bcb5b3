#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/ruvo/core/async_result.h"
#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/core/input_log_text.h"
#include "runtime/ruvo/core/method_identifier.h"
#include "runtime/ruvo/core/signature_registry.h"

namespace {

using Ruvo::Core::MethodIdentifier;

TEST(MethodIdentifier, OperationIsWhatFollowsTheLastDot)
{
   MethodIdentifier id;
   ASSERT_TRUE(MethodIdentifier::FromString("com.talvor.brim.kms.key_operation.encrypt", id));
   EXPECT_EQ(id.GetInterfaceId(), "com.talvor.brim.kms.key_operation");
   EXPECT_EQ(id.GetOperation(), "encrypt");
   EXPECT_EQ(id.ToString(), "com.talvor.brim.kms.key_operation.encrypt");
   ASSERT_TRUE(MethodIdentifier::FromString("A_1.b2", id));
   // Anything but identifiers joined by single dots is refused before it can reach a
   // log line or an op-id.
   for (const char *bad : {"", "nodot", ".op", "iface.", ".", "a..b", "a.b\nforged", "a.b c",
                           "a.b\x1b[2J", "a.b\xc3\xbc", "a-b.c", "a/b.c"}) {
      EXPECT_FALSE(MethodIdentifier::FromString(bad, id)) << bad;
   }
   std::string longest = "a." + std::string(MethodIdentifier::kMaxTextBytes - 2, 'b');
   EXPECT_TRUE(MethodIdentifier::FromString(longest, id));
   EXPECT_FALSE(MethodIdentifier::FromString(longest + "b", id));
}

TEST(AsyncResult, DroppedWithoutCompletionDeliversAnInternalError)
{
   Ruvo::Outcome<std::string> seen;
   bool called = false;
   {
      Ruvo::AsyncResult<std::string> result([&](Ruvo::Outcome<std::string> &&o) {
         called = true;
         seen = std::move(o);
      });
   }
   ASSERT_TRUE(called);
   ASSERT_TRUE(seen.IsError());
   EXPECT_EQ(seen.error->GetName(), "com.talvor.ruvo.std.errors.internal_server_error");
   EXPECT_EQ(seen.error->messages().at(0).GetId(), "ruvo.provider.result.abandoned");
}

TEST(AsyncResult, NativeErrorKeepsItsPendingMessagesAndProgressStopsAfterCompletion)
{
   std::vector<int64_t> progress;
   Ruvo::Outcome<Ruvo::Void> seen;
   Ruvo::AsyncResult<Ruvo::Void> result([&](Ruvo::Outcome<Ruvo::Void> &&o) { seen = std::move(o); },
                                        [&](const Ruvo::Core::Progress &p) {
                                           progress.push_back(p.current);
                                        });
   result.SetProgress({0, 10, 3});
   Ruvo::NamedMessageBuilder builder("x.not_found");
   builder.put("service", "s1");
   result.SetError(Ruvo::Data::NativeError(
      Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kNotFound, {}), {builder}));
   result.SetProgress({0, 10, 4});
   EXPECT_EQ(progress, std::vector<int64_t>{3});
   ASSERT_TRUE(seen.IsError());
   ASSERT_EQ(seen.pendingMessages.size(), 1u);
   EXPECT_EQ(seen.pendingMessages[0].Build().GetId(), "x.not_found");
}

#ifndef NDEBUG
TEST(AsyncResultDeathTest, SecondCompletionIsCaughtInDebugBuilds)
{
   EXPECT_DEATH(
      {
         Ruvo::AsyncResult<int> result([](Ruvo::Outcome<int> &&) {});
         result.SetResult(1);
         result.SetResult(2);
      },
      "VERIFY runtime/ruvo/core/async_result");
}
#endif

TEST(AsyncResult, ConcurrentProgressAndCompletionDeliverExactlyOnce)
{
   for (int round = 0; round < 50; ++round) {
      std::atomic<int> done{0};
      std::atomic<int> progressed{0};
      Ruvo::AsyncResult<int> result([&](Ruvo::Outcome<int> &&) { ++done; },
                                    [&](const Ruvo::Core::Progress &) { ++progressed; });
      std::thread reporter([result] {
         for (int i = 0; i < 20; ++i) {
            result.SetProgress({0, 20, i});
         }
      });
      result.SetResult(round);
      reporter.join();
      EXPECT_EQ(done.load(), 1);
   }
}

TEST(InputLogText, ShowsDeclaredValuesMasksDeclaredSecretsAndOnlyNamesTheRest)
{
   using namespace Ruvo::Data;
   TypeDesc optionalSecret{TypeKind::Optional, "", &TypeDesc::Of(TypeKind::Secret), {}, {}};
   TypeDesc item{TypeKind::Structure,
                 "Item",
                 nullptr,
                 {{"pin", &optionalSecret}, {"n", &TypeDesc::Of(TypeKind::Integer)}},
                 {}};
   TypeDesc items{TypeKind::List, "", &item, {}, {}};
   TypeDesc spec{TypeKind::Structure,
                 "Spec",
                 nullptr,
                 {{"key", &TypeDesc::Of(TypeKind::Secret)},
                  {"items", &items},
                  {"extra", &TypeDesc::Of(TypeKind::Dynamic)}},
                 {}};
   auto element = std::make_shared<StructValue>("Item");
   element->SetField("pin",
                     MakeOptional(MakeString("1234"))); // a plain string where a secret is declared
   element->SetField("n", MakeInteger(7));
   auto list = std::make_shared<ListValue>();
   list->Add(element);
   auto extra = std::make_shared<StructValue>();
   extra->SetField("password", MakeString("hunter2"));
   auto input = std::make_shared<StructValue>("Spec");
   input->SetField("key", MakeString("k-e-y"));
   input->SetField("items", list);
   input->SetField("extra", extra);
   input->SetField("undeclared", MakeString("u"));
   EXPECT_EQ(Ruvo::Core::ValueLogText(input, &spec),
             "Spec{key: <secret>, items: [Item{pin: <secret>, n: 7}], extra: {password}, "
             "undeclared: <string>}");

   // Nothing declared: the shape only.
   EXPECT_EQ(Ruvo::Core::InputLogText("test.undeclared.op", input),
             "Spec{key, items, extra, undeclared}");
   EXPECT_EQ(Ruvo::Core::ValueLogText(MakeString("hunter2"), nullptr), "<string>");

   // Bounded whatever the input.
   auto big = std::make_shared<ListValue>();
   for (int i = 0; i < 100000; ++i) {
      big->Add(MakeInteger(i));
   }
   TypeDesc ints{TypeKind::List, "", &TypeDesc::Of(TypeKind::Integer), {}, {}};
   std::string text = Ruvo::Core::ValueLogText(big, &ints, 100);
   EXPECT_LT(text.size(), 120u);
   EXPECT_EQ(text.substr(text.size() - 4), "...]");
}

} // namespace
