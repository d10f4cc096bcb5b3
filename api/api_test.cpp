#include <gtest/gtest.h>

#include "api/attestation_report.h"
#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "api/trusted_infrastructure_providers.h"
#include "api/trusted_infrastructure_services.h"
#include "runtime/ruvo/json/testing/json_loopback_provider.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
namespace Report = Com::Talvor::Brim::Attestation::ReportSvc;
namespace Status = Com::Talvor::Brim::Kms::Providers::StatusSvc;

template <class T>
struct Capture {
   Ruvo::Outcome<T> outcome;
   Ruvo::AsyncResult<T> Result()
   {
      return Ruvo::AsyncResult<T>([this](Ruvo::Outcome<T> &&o) { outcome = std::move(o); });
   }
};

class Services : public Ti::Attestation::ServicesSvc::AsyncServiceInterface {
public:
   void List(const std::optional<Ti::ServicesApi::FilterSpec> &filter,
             Ruvo::AsyncResult<Ti::ServicesApi::SummaryList> result) override
   {
      seenFilter = filter;
      auto address = std::make_shared<Ti::NetworkAddress>(Ti::NetworkAddress{"attestd.example", std::nullopt});
      result.SetResult({std::make_shared<Ti::ServicesApi::Summary>(Ti::ServicesApi::Summary{"id-1", address, "g1"})});
   }
   void Get(const std::string &, Ruvo::AsyncResult<Ti::ServicesApi::Info> result) override
   {
      result.SetError(Ruvo::Data::NativeError(
         Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kNotFound, {}, "NOT_FOUND"),
         {Ruvo::NamedMessageBuilder("svc.not_found").put("service", "id-9")}));
   }
   void Create(const Ti::ServicesApi::CreateSpec &spec, Ruvo::AsyncResult<std::string> result) override
   {
      result.SetResult(spec.address->hostname + ":" + std::to_string(spec.address->port.value_or(443)) + "/" +
                       std::to_string(spec.trusted_CA->cert_chain.size()));
   }
   void Delete(const std::string &, Ruvo::AsyncResult<Ruvo::Void> result) override { result.SetResult(); }
   std::optional<Ti::ServicesApi::FilterSpec> seenFilter;
};

class KeyOperations : public KeyOp::AsyncServiceInterface {
public:
   void GenerateKey(const std::string &, const int64_t &size, Ruvo::AsyncResult<KeyOp::GeneratedKey> r) override
   {
      r.SetResult({Ruvo::SecretString(std::string(static_cast<size_t>(size), 'k')), "wrapped"});
   }
   void Encrypt(const std::string &provider, const Ruvo::SecretString &plaintext,
                Ruvo::AsyncResult<KeyOp::EncryptResult> r) override
   {
      r.SetResult({provider + ":" + std::string(plaintext.Expose())});
   }
   void Decrypt(const std::string &, const std::string &ciphertext, Ruvo::AsyncResult<KeyOp::DecryptResult> r) override
   {
      r.SetResult({Ruvo::SecretString(ciphertext.substr(ciphertext.find(':') + 1))});
   }
};

std::string Catalogue(const std::string &id, std::string_view, std::error_code &)
{
   return id == "svc.not_found" ? "Attestion Service not found {service}." : "Unknown message.";
}

struct Api : ::testing::Test {
   std::shared_ptr<Services> services = std::make_shared<Services>();
   std::shared_ptr<Ruvo::L10n::Localizer> localizer =
      std::make_shared<Ruvo::L10n::Localizer>(std::vector<std::string>{"en_US"}, Catalogue);
   std::shared_ptr<Ruvo::Provider::AsyncLocalProvider> server = Ruvo::Provider::AsyncLocalProvider::Create(
      {Ti::Attestation::ServicesSvc::AsyncServiceBinder::BindImplementation(services, localizer),
       KeyOp::AsyncServiceBinder::BindImplementation(std::make_shared<KeyOperations>(), localizer)});
   std::shared_ptr<RuvoTesting::JsonLoopbackProvider> wire =
      std::make_shared<RuvoTesting::JsonLoopbackProvider>(server);
};

TEST_F(Api, ServicesTravelAsTheWireFormatSays)
{
   Ti::Attestation::ServicesSvc::AsyncServiceStub stub(wire);
   Ti::ServicesApi::FilterSpec filter;
   filter.groups = std::set<std::string>{"g1"};
   Capture<Ti::ServicesApi::SummaryList> list;
   stub.List(filter, nullptr, list.Result());
   ASSERT_FALSE(list.outcome.IsError());
   EXPECT_NE(wire->lastRequest.find(R"("method":"com.talvor.brim.trusted_infrastructure.attestation.services.list")"),
             std::string::npos);
   EXPECT_NE(wire->lastRequest.find(R"("input":{"filter":{"groups":["g1"]}})"), std::string::npos);
   EXPECT_NE(wire->lastResponse.find(R"("result":[{"service":"id-1","address":{"hostname":"attestd.example"},"group":"g1"}])"),
             std::string::npos);
   ASSERT_EQ(list.outcome.value->size(), 1u);
   EXPECT_FALSE((*list.outcome.value)[0]->address->port);
   EXPECT_FALSE(services->seenFilter->services);

   Capture<std::string> created;
   Ti::ServicesApi::CreateSpec spec{std::make_shared<Ti::NetworkAddress>(Ti::NetworkAddress{"h", 8443}),
                                    std::make_shared<Ti::X509CertChain>(Ti::X509CertChain{{"pem1", "pem2"}}), "g"};
   stub.Create(spec, nullptr, created.Result());
   EXPECT_EQ(created.outcome.value, "h:8443/2");
   EXPECT_NE(wire->lastRequest.find(R"("trusted_CA":{"cert_chain":["pem1","pem2"]})"), std::string::npos);

   Capture<Ti::ServicesApi::Info> info;
   stub.Get("id-9", nullptr, info.Result());
   ASSERT_TRUE(info.outcome.IsError());
   EXPECT_EQ(info.outcome.error->messages().at(0).GetDefaultMessage(), "Attestion Service not found id-9.");
   EXPECT_NE(wire->lastResponse.find(R"("error_type":"NOT_FOUND")"), std::string::npos);

   Capture<Ruvo::Void> deleted;
   stub.Delete("id-1", nullptr, deleted.Result());
   EXPECT_FALSE(deleted.outcome.IsError());
   EXPECT_NE(wire->lastResponse.find(R"("result":null)"), std::string::npos);
}

TEST_F(Api, SecretsAreSentButNeverPrinted)
{
   KeyOp::AsyncServiceStub stub(wire);
   Capture<KeyOp::EncryptResult> encrypted;
   stub.Encrypt("p1", Ruvo::SecretString("plain-key-bytes"), nullptr, encrypted.Result());
   ASSERT_FALSE(encrypted.outcome.IsError());
   EXPECT_EQ(encrypted.outcome.value->ciphertext, "p1:plain-key-bytes");
   EXPECT_NE(wire->lastRequest.find("plain-key-bytes"), std::string::npos);
   EXPECT_EQ(wire->lastServerInput->ToString().find("plain-key-bytes"), std::string::npos);

   Capture<KeyOp::DecryptResult> decrypted;
   stub.Decrypt("p1", "p1:key-out", nullptr, decrypted.Result());
   EXPECT_EQ(decrypted.outcome.value->key.Expose(), "key-out");

   Capture<KeyOp::GeneratedKey> generated;
   stub.GenerateKey("p1", 4, nullptr, generated.Result());
   EXPECT_EQ(generated.outcome.value->key.Expose(), "kkkk");
   EXPECT_NE(wire->lastRequest.find(R"("input":{"provider":"p1","key_size":4})"), std::string::npos);
}

TEST_F(Api, UnboundInterfacesAreOperationNotFound)
{
   Status::AsyncServiceStub stub(wire);
   Capture<Status::Info> info;
   stub.Get("p1", nullptr, info.Result());
   ASSERT_TRUE(info.outcome.IsError());
   EXPECT_EQ(info.outcome.error->GetName(), "com.talvor.ruvo.std.errors.operation_not_found");
}

TEST(ApiReport, DynamicStructuresCarryTheNativeRecords)
{
   Report::Tpm2Request request;
   request.identity = std::make_shared<Report::Tpm2Identity>(Report::Tpm2Identity{{}, "EK-PEM", std::nullopt});
   request.contexts = {{1, 2, 3}};
   request.document_types = {Report::DocumentType::TOKEN};
   auto dyn = std::make_shared<Ruvo::Data::StructValue>("emptyDynStr");
   Ruvo::Binding::CodecContext ctx;
   ASSERT_TRUE(Ruvo::Binding::ToStructValue(request, *dyn, ctx));
   EXPECT_EQ(dyn->GetName(), "emptyDynStr");

   // What the server reads off the wire: binary arrives as base64 text.
   auto wireForm = std::make_shared<Ruvo::Data::StructValue>();
   wireForm->SetField("identity", dyn->GetField("identity"));
   auto contexts = std::make_shared<Ruvo::Data::ListValue>();
   contexts->Add(Ruvo::Data::MakeString("AQID"));
   wireForm->SetField("contexts", contexts);
   auto types = std::make_shared<Ruvo::Data::ListValue>();
   types->Add(Ruvo::Data::MakeString("TOKEN"));
   wireForm->SetField("document_types", types);
   Report::Tpm2Request back;
   ASSERT_TRUE(Ruvo::Binding::FromDataValue(Ruvo::Data::DataValuePtr(wireForm), back, ctx));
   EXPECT_EQ(back.contexts, request.contexts);
   EXPECT_EQ(back.identity->ek_certificate, "EK-PEM");
   EXPECT_FALSE(back.identity->ek_public_key);

   EXPECT_EQ(static_cast<int>(Status::Status::DEGRADED), 2);
}

} // namespace
