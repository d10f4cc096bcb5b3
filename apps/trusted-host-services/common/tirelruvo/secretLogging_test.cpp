// A secret handed to a key operation must not reach any log line, even with every
// layer of the local chain logging at its most verbose level.
#include <gtest/gtest.h>

#include "api/key_operation.h"
#include "apps/trusted-host-services/common/tirelruvo/opIdProvider.h"
#include "apps/zarna/include/logger.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/ruvo/json/testing/json_loopback_provider.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace {

namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;

constexpr const char *kPlaintext = "PLAINTEXT-c2VjcmV0";
constexpr const char *kKey = "UNWRAPPED-a2V5";
constexpr const char *kToken = "eyJhbGciOiJFUzI1NiJ9.TOKEN";

class KeyOperations : public KeyOp::AsyncServiceInterface {
public:
   void GenerateKey(const std::string &, const int64_t &, ::Ruvo::AsyncResult<KeyOp::GeneratedKey> r) override
   {
      r.SetResult({Ruvo::SecretString(kKey), "wrapped"});
   }
   void Encrypt(const std::string &, const Ruvo::SecretString &plaintext,
                ::Ruvo::AsyncResult<KeyOp::EncryptResult> r) override
   {
      seen = std::string(plaintext.Expose());
      r.SetResult({"wrapped"});
   }
   void Decrypt(const std::string &, const std::string &, ::Ruvo::AsyncResult<KeyOp::DecryptResult> r) override
   {
      r.SetResult({Ruvo::SecretString(kKey)});
   }
   std::string seen;
};

TEST(SecretLogging, NoSecretInAnyLineAtTheMostVerboseLevel)
{
   HostlibTesting::LogCapture capture(135);
   Tirel::Service::Logger logger(Tirel::Service::Logger::kTrivia);
   auto ruvoLogger = std::make_shared<Zarna::RuvoLoggerWrapper>();
   auto impl = std::make_shared<KeyOperations>();
   auto local = Ruvo::Provider::AsyncLocalProvider::Create(
      {KeyOp::AsyncServiceBinder::BindImplementation(impl)}, Ruvo::Provider::DirectEnqueuer(), ruvoLogger);
   auto chain = std::make_shared<Ths::Common::TirelRuvo::OpIdProvider>(local, logger);
   auto wire = std::make_shared<RuvoTesting::JsonLoopbackProvider>(chain);

   auto context = std::make_shared<Ruvo::Core::ExecutionContext>();
   context->GetSecurityContext().SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   context->GetSecurityContext().SetAccessToken(Ruvo::SecretString(kToken));
   auto activation = std::make_shared<Ruvo::Core::AsyncActivation>(context);
   KeyOp::AsyncServiceStub stub(wire, activation);

   bool encrypted = false;
   stub.Encrypt("p1", Ruvo::SecretString(kPlaintext), nullptr,
                ::Ruvo::AsyncResult<KeyOp::EncryptResult>([&](::Ruvo::Outcome<KeyOp::EncryptResult> &&o) {
                   encrypted = !o.IsError();
                }));
   stub.Decrypt("p1", "wrapped", nullptr, ::Ruvo::AsyncResult<KeyOp::DecryptResult>([](auto &&) {}));
   stub.GenerateKey("p1", 32, nullptr, ::Ruvo::AsyncResult<KeyOp::GeneratedKey>([](auto &&) {}));

   ASSERT_TRUE(encrypted);
   EXPECT_EQ(impl->seen, kPlaintext);
   EXPECT_NE(wire->lastRequest.find(kToken), std::string::npos); // it does travel on the wire
   EXPECT_TRUE(capture.Contains("Invoke-Input: "));
   EXPECT_TRUE(capture.Contains("MethodResult: "));
   for (const char *secret : {kPlaintext, kKey, kToken}) {
      EXPECT_FALSE(capture.Contains(secret)) << secret;
   }
   EXPECT_TRUE(capture.Contains("<secret>"));
}

// Inputs that did not come through a typed reader: an in-process caller that put a
// plain string where a secret is declared, and an operation nobody declared.
TEST(SecretLogging, InputIsLoggedByItsDeclaredTypesOrAsFieldNamesOnly)
{
   HostlibTesting::LogCapture capture(135);
   Tirel::Service::Logger logger(Tirel::Service::Logger::kTrivia);
   auto impl = std::make_shared<KeyOperations>();
   auto local = Ruvo::Provider::AsyncLocalProvider::Create(
       {KeyOp::AsyncServiceBinder::BindImplementation(impl)}, Ruvo::Provider::DirectEnqueuer(),
       std::make_shared<Zarna::RuvoLoggerWrapper>());
   Ths::Common::TirelRuvo::OpIdProvider chain(local, logger);

   auto input = std::make_shared<Ruvo::Data::StructValue>();
   input->SetField("provider", Ruvo::Data::MakeString("p1"));
   input->SetField("plaintext", Ruvo::Data::MakeString(kPlaintext));
   auto ignore = [](const Ruvo::Core::MethodResultPtr &, const Ruvo::Core::Progress &,
                    Ruvo::Core::Continuation) {};
   chain.Invoke(Ruvo::Core::MethodIdentifier("com.talvor.brim.kms.key_operation", "encrypt"), input,
                std::make_shared<Ruvo::Core::ExecutionContext>(), ignore);
   EXPECT_TRUE(capture.Has(135, "Invoke-Input: {provider: \"p1\", plaintext: <secret>}"));

   chain.Invoke(Ruvo::Core::MethodIdentifier("com.talvor.brim.kms.key_operation", "encrypt_v2"),
                input, std::make_shared<Ruvo::Core::ExecutionContext>(), ignore);
   EXPECT_TRUE(capture.Has(135, "Invoke-Input: {provider, plaintext}"));
   EXPECT_TRUE(capture.Contains("operation_not_found"));
   EXPECT_FALSE(capture.Contains(kPlaintext));
}

} // namespace
