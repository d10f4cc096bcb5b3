#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/binding/stub.h"

namespace Test {

enum class Color { RED, GREEN_LIGHT };
constexpr std::array<const char *, 2> RuvoEnumNames(Color) { return {"RED", "GREEN_LIGHT"}; }

struct Address {
   std::string hostname;
   std::optional<int64_t> port;
   static constexpr const char *kStructName = "test.address";
   static constexpr auto Fields()
   {
      using Ruvo::Binding::Field;
      return std::make_tuple(Field("hostname", &Address::hostname), Field("port", &Address::port));
   }
};

struct Spec {
   std::shared_ptr<Address> address;
   std::vector<Color> colors;
   std::set<std::string> tags;
   Ruvo::Data::Binary blob;
   Ruvo::SecretString key;
   std::map<std::string, double> weights;
   static constexpr const char *kStructName = "test.spec";
   static constexpr auto Fields()
   {
      using Ruvo::Binding::Field;
      return std::make_tuple(Field("address", &Spec::address), Field("colors", &Spec::colors),
                             Field("tags", &Spec::tags), Field("blob", &Spec::blob),
                             Field("key", &Spec::key), Field("weights", &Spec::weights));
   }
};

using Ruvo::Binding::Operation;
using Ruvo::Binding::Param;
using EchoMethod = Operation<"echo", Spec, Param<Spec, "spec">>;
using FailMethod = Operation<"fail", Ruvo::Void, Param<std::string, "service">, Param<std::optional<int64_t>, "port">>;
using Decl = Ruvo::Binding::InterfaceDecl<"test.binding.svc", EchoMethod, FailMethod>;

class Service {
public:
   virtual void Echo(const Spec &spec, Ruvo::AsyncResult<Spec> result)
   {
      Spec back = spec;
      if (spec.tags.count("drop-address") != 0) {
         back.address = nullptr; // a result the codecs refuse
      }
      result.SetResult(back);
   }
   virtual void Fail(const std::string &service, const std::optional<int64_t> &port,
                     Ruvo::AsyncResult<Ruvo::Void> result)
   {
      if (service == "throw") {
         throw std::runtime_error("boom");
      }
      auto error = Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kNotFound, {}, "NOT_FOUND");
      Ruvo::NamedMessageBuilder msg("svc.not_found");
      msg.put("service", service).put("port", port.value_or(-1));
      result.SetError(Ruvo::Data::NativeError(error, {msg}));
   }
   virtual ~Service() = default;
};

class Stub : public Ruvo::Binding::ServiceStub<Decl> {
public:
   using ServiceStub::ServiceStub;
   void Echo(const Spec &spec, const Ruvo::Core::AsyncActivationPtr &act, Ruvo::AsyncResult<Spec> r)
   {
      Call<EchoMethod>(act, std::move(r), spec);
   }
   void Fail(const std::string &s, const std::optional<int64_t> &p,
             const Ruvo::Core::AsyncActivationPtr &act, Ruvo::AsyncResult<Ruvo::Void> r)
   {
      Call<FailMethod>(act, std::move(r), s, p);
   }
};

// Dispatches straight to one bound interface, keeping what went over the "wire".
class LoopProvider : public Ruvo::Core::AsyncApiProvider {
public:
   explicit LoopProvider(Ruvo::Core::ApiInterfacePtr iface) : mIface(std::move(iface)) {}
   std::string GetName() const override { return "loop"; }
   void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
               const Ruvo::Core::ExecutionContextPtr &ctx, Ruvo::Core::AsyncApiResultCb cb) override
   {
      lastInput = input;
      std::vector<Ruvo::BaseMessage> messages;
      auto op = mIface->FindOperation(method.GetOperation(), messages);
      ASSERT_NE(op, nullptr);
      op->Invoke(ctx, input, cb);
   }
   Ruvo::Data::DataValuePtr lastInput;

private:
   Ruvo::Core::ApiInterfacePtr mIface;
};

} // namespace Test

namespace {

using namespace Test;

std::string Source(const std::string &id, std::string_view, std::error_code &)
{
   return id == "svc.not_found" ? "Not found {service} on {port}." : "";
}

struct Fixture : ::testing::Test {
   std::shared_ptr<Ruvo::L10n::Localizer> localizer =
      std::make_shared<Ruvo::L10n::Localizer>(std::vector<std::string>{"en_US"}, Source);
   Ruvo::Core::ApiInterfacePtr iface = Ruvo::Binding::BindInterface<Decl>(
      std::make_shared<Service>(), localizer, &Service::Echo, &Service::Fail);
   std::shared_ptr<LoopProvider> provider = std::make_shared<LoopProvider>(iface);
   Stub stub{provider};
};

TEST_F(Fixture, RoundTripKeepsEveryFieldAndTheSecretStaysMaskedInText)
{
   Spec spec;
   spec.address = std::make_shared<Address>(Address{"h", 8443});
   spec.colors = {Color::GREEN_LIGHT, Color::RED};
   spec.tags = {"b", "a"};
   spec.blob = {0, 255};
   spec.key = Ruvo::SecretString("top-secret");
   spec.weights = {{"x", 0.5}};
   Ruvo::Outcome<Spec> got;
   stub.Echo(spec, nullptr, Ruvo::AsyncResult<Spec>([&](Ruvo::Outcome<Spec> &&o) { got = std::move(o); }));
   ASSERT_FALSE(got.IsError()) << got.error->ToString();
   EXPECT_EQ(got.value->address->hostname, "h");
   EXPECT_EQ(got.value->address->port, 8443);
   EXPECT_EQ(got.value->colors, spec.colors);
   EXPECT_EQ(got.value->tags, spec.tags);
   EXPECT_EQ(got.value->blob, spec.blob);
   EXPECT_EQ(got.value->key.Expose(), "top-secret");
   EXPECT_EQ(got.value->weights.at("x"), 0.5);
   std::string text = provider->lastInput->ToString();
   EXPECT_NE(text.find("GREEN_LIGHT"), std::string::npos);
   EXPECT_EQ(text.find("top-secret"), std::string::npos);
}

TEST_F(Fixture, BadInputAndThrowingImplementationsBecomeErrorResults)
{
   auto op = iface->FindOperation("echo", *std::make_unique<std::vector<Ruvo::BaseMessage>>());
   auto input = std::make_shared<Ruvo::Data::StructValue>("x");
   auto spec = std::make_shared<Ruvo::Data::StructValue>("test.spec");
   spec->SetField("colors", Ruvo::Data::MakeString("RED"));
   input->SetField("spec", spec);
   Ruvo::Core::MethodResultPtr result;
   op->Invoke(std::make_shared<Ruvo::Core::ExecutionContext>(), input,
              [&](const Ruvo::Core::MethodResultPtr &r, const Ruvo::Core::Progress &, Ruvo::Core::Continuation) {
                 result = r;
              });
   ASSERT_TRUE(result && result->IsError());
   EXPECT_EQ(result->GetError()->GetName(), "com.talvor.ruvo.std.errors.invalid_argument");
   EXPECT_EQ(result->GetError()->messages()[0].GetId(), "ruvo.data.missing.field");
   EXPECT_EQ(result->GetError()->messages()[0].GetArgs()[0], "spec.address");

   Spec dropping{std::make_shared<Address>(Address{"h", 1}), {}, {"drop-address"}, {}, {}, {}};
   Ruvo::Binding::CodecContext codec;
   input->SetField("spec", Ruvo::Binding::ToDataValue(dropping, codec));
   op->Invoke(std::make_shared<Ruvo::Core::ExecutionContext>(), input,
              [&](const Ruvo::Core::MethodResultPtr &r, const Ruvo::Core::Progress &, Ruvo::Core::Continuation) {
                 result = r;
              });
   ASSERT_TRUE(result && result->IsError());
   EXPECT_EQ(result->GetError()->GetName(), "com.talvor.ruvo.std.errors.internal_server_error");

   Ruvo::Outcome<Ruvo::Void> got;
   stub.Fail("throw", std::nullopt, nullptr,
             Ruvo::AsyncResult<Ruvo::Void>([&](Ruvo::Outcome<Ruvo::Void> &&o) { got = std::move(o); }));
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.internal_server_error");

   std::vector<Ruvo::BaseMessage> messages;
   EXPECT_EQ(iface->FindOperation("nope", messages), nullptr);
   EXPECT_EQ(messages.at(0).GetId(), "ruvo.provider.operation.unknown");
}

TEST_F(Fixture, StubRefusesUnencodableArgumentsAndUnreadableResults)
{
   Spec spec; // address missing
   Ruvo::Outcome<Spec> got;
   stub.Echo(spec, nullptr, Ruvo::AsyncResult<Spec>([&](Ruvo::Outcome<Spec> &&o) { got = std::move(o); }));
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.invalid_argument");
   EXPECT_EQ(provider->lastInput, nullptr);
}

TEST(Codec, LenientReadingOfUntypedValues)
{
   Ruvo::Binding::CodecContext ctx;
   Ruvo::Data::Binary bin;
   EXPECT_TRUE(Ruvo::Binding::FromDataValue(Ruvo::Data::MakeString("AP8="), bin, ctx));
   EXPECT_EQ(bin, (Ruvo::Data::Binary{0, 255}));
   EXPECT_FALSE(Ruvo::Binding::FromDataValue(Ruvo::Data::MakeString("AP8"), bin, ctx));
   Ruvo::Binding::CodecContext ctx2;
   Color c;
   EXPECT_TRUE(Ruvo::Binding::FromDataValue(Ruvo::Data::MakeInteger(1), c, ctx2));
   EXPECT_EQ(c, Color::GREEN_LIGHT);
   EXPECT_FALSE(Ruvo::Binding::FromDataValue(Ruvo::Data::MakeString("BLUE"), c, ctx2));
   double d = 0;
   Ruvo::Binding::CodecContext ctx3;
   EXPECT_TRUE(Ruvo::Binding::FromDataValue(Ruvo::Data::MakeOptional(Ruvo::Data::MakeInteger(3)), d, ctx3));
   EXPECT_EQ(d, 3.0);
   Decl::RegisterSignatures();
   auto signature = Ruvo::Core::SignatureRegistry::Instance().Find("test.binding.svc.echo");
   ASSERT_TRUE(signature);
   EXPECT_EQ(signature->input, &EchoMethod::InputDesc());
}

} // namespace
