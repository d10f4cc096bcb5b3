#include "runtime/ruvo/json/json_rpc.h"

#include <gtest/gtest.h>

#include "runtime/ruvo/core/signature_registry.h"

namespace {

using namespace Ruvo::Protocol::Json;
using namespace Ruvo::Data;

const TypeDesc &EncryptInput()
{
   static const TypeDesc desc = [] {
      TypeDesc d;
      d.kind = TypeKind::Structure;
      d.name = "encrypt.input";
      d.fields = {{"provider", &TypeDesc::Of(TypeKind::String)},
                  {"plaintext", &TypeDesc::Of(TypeKind::Secret)}};
      return d;
   }();
   return desc;
}

struct JsonRpc : ::testing::Test {
   void SetUp() override
   {
      Ruvo::Core::SignatureRegistry::Instance().Register(
         "test.kms.encrypt", {&EncryptInput(), &TypeDesc::Of(TypeKind::Integer)});
   }
};

TEST_F(JsonRpc, RequestRoundTripKeepsContextAndReadsSecretsAsSecrets)
{
   Ruvo::Core::ExecutionContext ctx;
   ctx.SetRequestId("req-1");
   ctx.GetApplicationContext()["opId"] = "caller-7";
   ctx.GetSecurityContext().SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   ctx.GetSecurityContext().SetAccessToken(Ruvo::SecretString("tok"));
   auto input = std::make_shared<StructValue>("encrypt.input");
   input->SetField("provider", MakeString("p1"));
   input->SetField("plaintext", MakeSecret(Ruvo::SecretString("s3cr3t")));
   std::string body;
   ErrorValuePtr error;
   ASSERT_TRUE(Secure::JsonApiRequestSerializer().Serialize(
      Ruvo::Core::MethodIdentifier("test.kms", "encrypt"), input, ctx, body, error));
   EXPECT_EQ(body, R"({"version":"1.1","id":"req-1","method":"test.kms.encrypt","params":{"context":)"
                   R"({"app":{"opId":"caller-7"},"security":{"schemeId":"com.talvor.ruvo.std.security.oauth",)"
                   R"("accessToken":"tok"}},"input":{"provider":"p1","plaintext":"s3cr3t"}}})");

   JsonApiRequest request;
   ASSERT_TRUE(Secure::JsonApiRequestDeserializer().Deserialize(body, request, error));
   EXPECT_EQ(request.requestId, "req-1");
   EXPECT_EQ(request.context->GetRequestId(), "req-1");
   EXPECT_EQ(request.method.GetOperation(), "encrypt");
   EXPECT_EQ(request.context->GetApplicationValue("opId"), "caller-7");
   EXPECT_EQ(request.context->GetSecurityContext().GetAccessToken()->Expose(), "tok");
   EXPECT_EQ(request.input->ToString(), "encrypt.input{provider: \"p1\", plaintext: <secret>}");
}

TEST_F(JsonRpc, BrokenEnvelopesAreInvalidRequestsWithTheIdWhenKnown)
{
   struct Case {
      const char *body;
      const char *errorName;
      const char *id;
   } cases[] = {
      {R"([])", "invalid_request", ""},
      {R"({"version":"1.1","method":"a.b","params":{}})", "invalid_request", ""},
      {R"({"version":"2.0","id":"x","method":"a.b","params":{}})", "invalid_request", "x"},
      {R"({"version":"1.1","id":"x","method":"nodot","params":{}})", "invalid_request", "x"},
      {R"({"version":"1.1","id":"x","method":"a.b"})", "invalid_request", "x"},
      {R"({"version":"1.1","id":"x","method":"a.b","params":{"context":{"app":{"k":1}}}})",
       "invalid_request", "x"},
      {R"({"version":"1.1","id":"x","method":"test.kms.encrypt","params":{"input":{"provider":"p"}}})",
       "invalid_argument", "x"},
      {R"({"version":"1.1","id":"x","id":"y","method":"a.b","params":{}})", "invalid_request", ""},
   };
   for (const auto &c : cases) {
      JsonApiRequest request;
      ErrorValuePtr error;
      EXPECT_FALSE(JsonApiRequestDeserializer().Deserialize(c.body, request, error)) << c.body;
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->GetName(), std::string("com.talvor.ruvo.std.errors.") + c.errorName) << c.body;
      EXPECT_EQ(request.requestId, c.id) << c.body;
   }
   // An unknown method is read by shape and left for the provider to refuse.
   JsonApiRequest request;
   ErrorValuePtr error;
   EXPECT_TRUE(JsonApiRequestDeserializer().Deserialize(
      R"({"version":"1.1","id":"x","method":"no.such","params":{"input":{"a":[1]}}})", request, error));
   EXPECT_EQ(request.input->ToString(), "{a: [1]}");
}

TEST_F(JsonRpc, ResponsesRoundTripAndUnwritableResultsBecomeErrors)
{
   std::string body;
   EXPECT_TRUE(JsonApiResponseSerializer().Serialize("r", *Ruvo::Core::MethodResult::GetInstance(MakeInteger(42)), body));
   EXPECT_EQ(body, R"({"version":"1.1","id":"r","result":42})");
   JsonApiResponse response;
   ErrorValuePtr error;
   ASSERT_TRUE(JsonApiResponseDeserializer().Deserialize(
      body, Ruvo::Core::MethodIdentifier("test.kms", "encrypt"), response, error));
   EXPECT_EQ(response.requestId, "r");
   EXPECT_EQ(As<IntegerValue>(response.result->GetOutput())->GetValue(), 42);

   EXPECT_FALSE(JsonApiResponseDeserializer().Deserialize(
      R"({"version":"1.1","id":"r","result":"42"})", Ruvo::Core::MethodIdentifier("test.kms", "encrypt"),
      response, error));
   EXPECT_EQ(error->GetName(), "com.talvor.ruvo.std.errors.invalid_request");
   EXPECT_FALSE(JsonApiResponseDeserializer().Deserialize(
      R"({"version":"1.1","id":"r","result":1,"error":{"name":"x","fields":{}}})",
      Ruvo::Core::MethodIdentifier("a", "b"), response, error));
   EXPECT_FALSE(JsonApiResponseDeserializer().Deserialize(R"({"version":"1.1","id":"r"})",
                                                          Ruvo::Core::MethodIdentifier("a", "b"),
                                                          response, error));

   EXPECT_FALSE(JsonApiResponseSerializer().Serialize(
      "r", *Ruvo::Core::MethodResult::GetInstance(MakeString("\xfe")), body));
   ASSERT_TRUE(JsonApiResponseDeserializer().Deserialize(body, Ruvo::Core::MethodIdentifier("a", "b"),
                                                         response, error));
   ASSERT_TRUE(response.result->IsError());
   EXPECT_EQ(response.result->GetError()->GetName(), "com.talvor.ruvo.std.errors.internal_server_error");

   JsonApiDirectResponseSerializer().SerializeError("\xff", StdErrors::Make(StdErrors::kInvalidRequest, {}),
                                                    body);
   EXPECT_EQ(body, R"({"version":"1.1","id":"","error":{"name":"com.talvor.ruvo.std.errors.invalid_request","fields":{"messages":[]}}})");
}

} // namespace
