#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace {

using namespace Ruvo;
using Ruvo::Binding::Operation;
using Ruvo::Binding::Param;

using PingMethod = Operation<"ping", std::string, Param<std::string, "text">>;
using PingDecl = Binding::InterfaceDecl<"test.provider.ping", PingMethod>;

struct Pinger {
   void Ping(const std::string &text, AsyncResult<std::string> result) { result.SetResult("pong " + text); }
};

Core::ApiInterfacePtr Bind()
{
   return Binding::BindInterface<PingDecl>(std::make_shared<Pinger>(), nullptr, &Pinger::Ping);
}

Data::DataValuePtr Input(const std::string &text)
{
   auto input = std::make_shared<Data::StructValue>();
   input->SetField("text", Data::MakeString(text));
   return input;
}

Core::MethodResultPtr Call(Core::AsyncApiProvider &provider, const std::string &iface,
                           const std::string &op, const std::string &text = "x")
{
   Core::MethodResultPtr result;
   provider.Invoke(Core::MethodIdentifier(iface, op), Input(text), std::make_shared<Core::ExecutionContext>(),
                   [&](const Core::MethodResultPtr &r, const Core::Progress &, Core::Continuation) {
                      result = r;
                   });
   return result;
}

TEST(AsyncLocalProvider, DispatchesToTheBoundOperation)
{
   auto provider = Provider::AsyncLocalProvider::Create({Bind()});
   auto result = Call(*provider, "test.provider.ping", "ping", "a");
   ASSERT_TRUE(result && !result->IsError());
   EXPECT_EQ(Data::As<Data::StringValue>(result->GetOutput())->GetValue(), "pong a");
   EXPECT_EQ(provider->GetName(), "AsyncLocalProvider");
}

TEST(AsyncLocalProvider, UnknownInterfaceOrOperationIsOperationNotFoundWithTheReason)
{
   auto provider = Provider::AsyncLocalProvider::Create({Bind()});
   auto result = Call(*provider, "test.provider.other", "ping");
   ASSERT_TRUE(result && result->IsError());
   EXPECT_EQ(result->GetError()->GetName(), "com.talvor.ruvo.std.errors.operation_not_found");
   auto messages = result->GetError()->messages();
   ASSERT_EQ(messages.size(), 1u);
   EXPECT_EQ(messages[0].GetId(), "ruvo.provider.interface.unknown");
   EXPECT_EQ(messages[0].GetArgs(), std::vector<std::string>{"test.provider.other"});

   result = Call(*provider, "test.provider.ping", "pong");
   ASSERT_TRUE(result && result->IsError());
   EXPECT_EQ(result->GetError()->GetName(), "com.talvor.ruvo.std.errors.operation_not_found");
   EXPECT_EQ(result->GetError()->messages().at(0).GetId(), "ruvo.provider.operation.unknown");
}

TEST(AsyncLocalProvider, SecondBindingOfAnInterfaceIsRefused)
{
   std::vector<BaseMessage> refused;
   auto provider = Provider::AsyncLocalProvider::Create({Bind(), Bind()}, Provider::DirectEnqueuer(),
                                                        nullptr, &refused);
   ASSERT_EQ(refused.size(), 1u);
   EXPECT_EQ(refused[0].GetId(), "ruvo.provider.interface.already.registered");
   EXPECT_EQ(refused[0].GetArgs(), std::vector<std::string>{"test.provider.ping"});
   EXPECT_TRUE(Call(*provider, "test.provider.ping", "ping") != nullptr);
}

TEST(AsyncLocalProvider, TheEnqueuerDecidesWhereTheCallRuns)
{
   std::vector<Provider::WorkItem> queued;
   auto provider = Provider::AsyncLocalProvider::Create(
      {Bind()}, [&](Provider::WorkItem item) { queued.push_back(std::move(item)); });
   auto result = Call(*provider, "test.provider.ping", "ping");
   EXPECT_EQ(result, nullptr);
   ASSERT_EQ(queued.size(), 1u);
   Core::MethodResultPtr later;
   provider->Invoke(Core::MethodIdentifier("test.provider.ping", "ping"), Input("b"), nullptr,
                    [&](const Core::MethodResultPtr &r, const Core::Progress &, Core::Continuation) { later = r; });
   provider.reset(); // the queued item keeps the provider alive
   queued[1]();
   ASSERT_NE(later, nullptr);
   EXPECT_FALSE(later->IsError());
}

TEST(DirectEnqueuer, RunsAtOnceAndRefusesAnEmptyItem)
{
   Provider::DirectEnqueuer enqueuer;
   int ran = 0;
   enqueuer([&] { ++ran; });
   EXPECT_EQ(ran, 1);
   EXPECT_THROW(enqueuer(Provider::WorkItem()), std::bad_function_call);
}

TEST(AsyncApiInterfaceConcurrentContainer, ReadersSeeAConsistentTableWhileWritersInsert)
{
   Provider::AsyncApiInterfaceConcurrentContainer container;
   std::atomic<bool> stop{false};
   std::atomic<int> found{0};
   std::thread reader([&] {
      while (!stop) {
         if (container.Find("test.provider.ping")) {
            ++found;
         }
         (void)container.Size();
      }
   });
   std::vector<BaseMessage> messages;
   for (int i = 0; i < 200; ++i) {
      struct Named : Core::ApiInterface {
         explicit Named(std::string id) : mId(std::move(id)) {}
         const std::string &GetIdentifier() const override { return mId; }
         std::shared_ptr<const Core::ApiOperation> FindOperation(const std::string &,
                                                                  std::vector<BaseMessage> &) const override
         {
            return nullptr;
         }
         std::string mId;
      };
      EXPECT_TRUE(container.Insert(std::make_shared<Named>("iface." + std::to_string(i)), messages));
   }
   EXPECT_TRUE(container.Insert(Bind(), messages));
   EXPECT_FALSE(container.Insert(Bind(), messages));
   stop = true;
   reader.join();
   EXPECT_EQ(container.Size(), 201u);
   EXPECT_EQ(messages.size(), 1u);
}

} // namespace
