// The key operation and provider services as the local socket and the TCP
// endpoint reach them: bound, behind a local provider, over a scripted key
// provider service.
#include "apps/zarna/ruvo/services/key_operation_impl.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "apps/zarna/kms/testing/scripted_zarnd.h"
#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace Zarna {
namespace {

using ZarnaTesting::ScriptedCall;
using ZarnaTesting::ScriptedState;
using ZarnaTesting::ScriptedZarnd;
namespace E = Ruvo::Data::StdErrors;

class KeyOperationImplTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      state->Add("A", "tokA");
      auto options = [this] { return ZarnClientOptions{state, zarnd.Factory(), 7}; };
      auto bindings = {
          KeyOp::AsyncServiceBinder::BindImplementation(
              std::make_shared<KeyOp::KeyOperationImpl>(options)),
          LocalProviders::AsyncServiceBinder::BindImplementation(
              std::make_shared<LocalProviders::ProvidersImpl>(options)),
      };
      local = Ruvo::Provider::AsyncLocalProvider::Create(bindings);
   }
   Ruvo::Outcome<KeyOp::EncryptResult> Encrypt(const std::string &provider)
   {
      Ruvo::Outcome<KeyOp::EncryptResult> got;
      KeyOp::AsyncServiceStub(local).Encrypt(
          provider, Ruvo::SecretString("a2V5a2V5a2V5a2V5a2V5aw=="), nullptr,
          Ruvo::AsyncResult<KeyOp::EncryptResult>([&](auto &&o) { got = std::move(o); }));
      return got;
   }

   HostlibTesting::LogCapture log{135};
   std::shared_ptr<ScriptedState> state = std::make_shared<ScriptedState>();
   ScriptedZarnd zarnd;
   Ruvo::Core::AsyncApiProviderPtr local;
};

TEST_F(KeyOperationImplTest, ConcurrentCallsEachGetTheirOwnResultWithoutWaitingForEachOther)
{
   std::mutex lock;
   std::condition_variable arrived;
   int inside = 0;
   zarnd.answer = [&](const ScriptedCall &call) {
      // Both calls must be inside the service at once, or neither finishes.
      std::unique_lock<std::mutex> guard(lock);
      ++inside;
      arrived.notify_all();
      bool both = arrived.wait_for(guard, std::chrono::seconds(10), [&] { return inside >= 2; });
      KeyOp::EncryptResult out;
      std::string input = call.input->ToString();
      out.ciphertext =
          both ? (input.find("\"p1\"") != std::string::npos ? "for p1" : "for p2") : "alone";
      return ScriptedZarnd::Ok(out);
   };
   Ruvo::Outcome<KeyOp::EncryptResult> first, second;
   std::thread a([&] { first = Encrypt("p1"); });
   std::thread b([&] { second = Encrypt("p2"); });
   a.join();
   b.join();
   ASSERT_FALSE(first.IsError());
   ASSERT_FALSE(second.IsError());
   EXPECT_EQ(first.value->ciphertext, "for p1");
   EXPECT_EQ(second.value->ciphertext, "for p2");
   EXPECT_FALSE(log.Contains("a2V5a2V5")) << "the plaintext key is never logged";
}

TEST_F(KeyOperationImplTest, ClientFailuresReachTheCallerOnceAndUnchanged)
{
   // Nothing configured: the client's error as it is.
   state->groupsError = MakeError(ErrorClass::Error, ErrorIds::kVeritorServicesNotConfigured);
   auto got = Encrypt("p1");
   ASSERT_TRUE(got.IsError());
   ASSERT_EQ(got.error->messages().size(), 1u);
   EXPECT_EQ(got.error->messages()[0].GetId(), ErrorIds::kVeritorServicesNotConfigured);
   state->groupsError.reset();

   // A client that throws still completes the call, with an error.
   zarnd.answer = [](const ScriptedCall &) -> Ruvo::Core::MethodResultPtr {
      throw std::runtime_error("boom");
   };
   got = Encrypt("p1");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), E::kError);
   EXPECT_EQ(got.error->messages()[0].GetId(), ErrorIds::kServicesCannotCommunicate);

   // The providers listing goes through the same client.
   zarnd.answer = [](const ScriptedCall &) { return ScriptedZarnd::Fail(E::kUnauthorized); };
   Ruvo::Outcome<LocalProviders::SummaryList> listed;
   LocalProviders::AsyncServiceStub(local).List(
       std::nullopt, nullptr,
       Ruvo::AsyncResult<LocalProviders::SummaryList>([&](auto &&o) { listed = std::move(o); }));
   ASSERT_TRUE(listed.IsError());
   EXPECT_EQ(listed.error->messages()[0].GetId(), ErrorIds::kKmsServicesHostNotAttested);
}

} // namespace
} // namespace Zarna
