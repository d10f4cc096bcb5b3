// Both service-configuration APIs, bound with the agent's localizer and called
// through the JSON-RPC text form, over a trust state with a memory store and a
// fake firewall.
#include <gtest/gtest.h>

#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/ruvo/services/attestation_services_impl.h"
#include "apps/zarna/ruvo/services/kms_services_impl.h"
#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/ruvo/json/testing/json_loopback_provider.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
namespace AttSvc = Ti::Attestation::ServicesSvc;
namespace KmsSvc = Ti::Kms::ServicesSvc;
using BrimConfigStore::ConfigStoreException;
using BrimConfigStore::MemoryBackend;
using ZarnaTesting::ValidChainPems;

template <class T> struct Call {
   Ruvo::Outcome<T> outcome;
   Ruvo::AsyncResult<T> Result()
   {
      return Ruvo::AsyncResult<T>([this](Ruvo::Outcome<T> &&o) { outcome = std::move(o); });
   }
   std::string ErrorName() const { return outcome.IsError() ? outcome.error->GetName() : "none"; }
   std::string MessageId() const { return outcome.error->messages().at(0).GetId(); }
   std::string Text() const { return outcome.error->messages().at(0).GetDefaultMessage(); }
};

Ti::ServicesApi::CreateSpec Spec(const std::string &host, std::optional<int64_t> port,
                                 const std::string &group,
                                 std::vector<std::string> chain = ValidChainPems())
{
   return {std::make_shared<const Ti::NetworkAddress>(Ti::NetworkAddress{host, port}),
           std::make_shared<const Ti::X509CertChain>(Ti::X509CertChain{std::move(chain)}), group};
}

class ServicesApiTest : public ::testing::Test {
protected:
   HostlibTesting::LogCapture log;
   ZarnaTesting::StateHarness harness;
   std::shared_ptr<Zarna::ZarnaState> state = harness.Start();
   Zarna::ServiceApi::StateProvider provider = [this]() { return state; };
   std::shared_ptr<Ruvo::L10n::Localizer> localizer = std::make_shared<Ruvo::L10n::Localizer>(
       std::vector<std::string>{"en_US"},
       [](const std::string &id, std::string_view language, std::error_code &ec) {
          return Zarna::LookupDefaultMessage(id, language, ec);
       });
   std::shared_ptr<Ruvo::Provider::AsyncLocalProvider> server =
       Ruvo::Provider::AsyncLocalProvider::Create(
           {AttSvc::AsyncServiceBinder::BindImplementation(
                std::make_shared<AttSvc::ServicesImpl>(provider), localizer),
            KmsSvc::AsyncServiceBinder::BindImplementation(
                std::make_shared<KmsSvc::ServicesImpl>(provider), localizer)});
   std::shared_ptr<RuvoTesting::JsonLoopbackProvider> wire =
       std::make_shared<RuvoTesting::JsonLoopbackProvider>(server);
   AttSvc::AsyncServiceStub attestd{wire};
   KmsSvc::AsyncServiceStub kms{wire};

   template <class Stub>
   Call<std::string> Create(const Stub &stub, const Ti::ServicesApi::CreateSpec &spec)
   {
      Call<std::string> call;
      stub.Create(spec, nullptr, call.Result());
      return call;
   }
   template <class Stub>
   std::string CreateOk(const Stub &stub, const std::string &host, std::optional<int64_t> port,
                        const std::string &group)
   {
      Call<std::string> call = Create(stub, Spec(host, port, group));
      EXPECT_FALSE(call.outcome.IsError()) << host << " " << group;
      return call.outcome.value.value_or("");
   }
};

TEST_F(ServicesApiTest, PortIsCheckedBeforeTheStateIsTouched)
{
   for (int64_t port : {int64_t{65536}, int64_t{-1}, INT64_MIN}) {
      Call<std::string> call = Create(attestd, Spec("a.test", port, "g1"));
      EXPECT_EQ(call.ErrorName(), "com.talvor.ruvo.std.errors.invalid_argument");
      EXPECT_EQ(call.MessageId(),
                "com.talvor.brim.trusted_infrastructure.attestation.services.invalid_port");
      EXPECT_NE(wire->lastResponse.find(R"("error_type":"INVALID_ARGUMENT")"), std::string::npos);
   }
   Call<std::string> kmsCall = Create(kms, Spec("k.test", 65536, "g1"));
   EXPECT_EQ(kmsCall.MessageId(),
             "com.talvor.brim.trusted_infrastructure.kms.services.invalid_port");
   EXPECT_EQ(kmsCall.Text(), "Invalid Key Provider Service port 65536.");
   EXPECT_TRUE(harness.firewall->Calls().empty());

   CreateOk(attestd, "a.test", 0, "g1");
   CreateOk(attestd, "b.test", 65535, "g2");
   CreateOk(kms, "k.test", std::nullopt, "g1");
}

TEST_F(ServicesApiTest, CreateFailuresMapToTheirErrors)
{
   std::string id = CreateOk(attestd, "a.test", std::nullopt, "g1");
   EXPECT_FALSE(id.empty());

   Call<std::string> duplicate = Create(attestd, Spec("a.test", 443, "g2"));
   EXPECT_EQ(duplicate.ErrorName(), "com.talvor.ruvo.std.errors.already_exists");
   EXPECT_EQ(duplicate.Text(), "Attestation Service already exists.");
   EXPECT_NE(wire->lastResponse.find(R"("error_type":"ALREADY_EXISTS")"), std::string::npos);

   Call<std::string> group = Create(attestd, Spec("other.test", 8443, "g1"));
   EXPECT_EQ(group.ErrorName(), "com.talvor.ruvo.std.errors.already_exists");
   EXPECT_EQ(group.Text(), "Only one Attestion Service per group is allowed. Offending group: g1.");

   const auto &pems = ValidChainPems();
   Call<std::string> certs = Create(attestd, Spec("c.test", std::nullopt, "g3", {pems[2]}));
   EXPECT_EQ(certs.ErrorName(), "com.talvor.ruvo.std.errors.invalid_argument");
   EXPECT_EQ(certs.Text(), "Invalid Attestation Service certificate.");

   harness.Memory().FailNext(
       MemoryBackend::Operation::Add,
       ConfigStoreException(BrimConfigStore::CS_ERR_DB_FULL, "configstore.db"));
   Call<std::string> store = Create(attestd, Spec("d.test", std::nullopt, "g4"));
   EXPECT_EQ(store.ErrorName(), "com.talvor.ruvo.std.errors.error");
   EXPECT_EQ(
       store.MessageId(),
       "com.talvor.brim.trusted_infrastructure.attestation.services.host_configuration_error");
   EXPECT_EQ(store.Text(), "Error accessing service configuration.");

   harness.firewall->SetUnresolvable("nowhere.test");
   Call<std::string> firewall = Create(kms, Spec("nowhere.test", std::nullopt, "g5"));
   EXPECT_EQ(firewall.ErrorName(), "com.talvor.ruvo.std.errors.error");
   EXPECT_EQ(firewall.MessageId(), "com.talvor.brim.trusted_infrastructure.common.firewall_error");

   // The key provider counterparts carry the key provider identifiers.
   CreateOk(kms, "k.test", std::nullopt, "g1");
   Call<std::string> kmsGroup = Create(kms, Spec("k2.test", std::nullopt, "g1"));
   EXPECT_EQ(kmsGroup.Text(),
             "Only one Key Provider Service per group is allowed. Offending group: g1.");
   Call<std::string> kmsDuplicate = Create(kms, Spec("k.test", std::nullopt, "g9"));
   EXPECT_EQ(kmsDuplicate.MessageId(),
             "com.talvor.brim.trusted_infrastructure.kms.services.already_exists");
   Call<std::string> kmsCerts = Create(kms, Spec("k3.test", std::nullopt, "g8", {"garbage"}));
   EXPECT_EQ(kmsCerts.MessageId(),
             "com.talvor.brim.trusted_infrastructure.kms.services.invalid_certificates");
}

// The filter's meaning is the state's (tested there); here: every field of it
// reaches the state, each kind lists its own services, and listings follow changes.
TEST_F(ServicesApiTest, ListPassesEveryFilterFieldAndFollowsChanges)
{
   std::string a = CreateOk(attestd, "a.test", 443, "g1");
   std::string b = CreateOk(attestd, "a.test", 8443, "g2");
   CreateOk(attestd, "c.test", std::nullopt, "g3");
   CreateOk(kms, "k.test", std::nullopt, "g1");
   auto ids = [&](const auto &api,
                  const std::optional<Ti::ServicesApi::FilterSpec> &filter = std::nullopt) {
      Call<Ti::ServicesApi::SummaryList> call;
      api.List(filter, nullptr, call.Result());
      std::vector<std::string> out;
      for (const auto &summary : *call.outcome.value) {
         out.push_back(summary->service + "@" + summary->group + ":" +
                       std::to_string(summary->address->port.value_or(0)));
      }
      return out;
   };

   Ti::ServicesApi::FilterSpec byHost;
   byHost.addresses = std::vector<Ti::NetworkAddress>{{"a.test", std::nullopt}};
   EXPECT_EQ(ids(attestd, byHost), std::vector<std::string>{a + "@g1:443"});
   Ti::ServicesApi::FilterSpec byGroup;
   byGroup.groups = std::set<std::string>{"g2", "g1"};
   byGroup.services = std::set<std::string>{b};
   EXPECT_EQ(ids(attestd, byGroup), std::vector<std::string>{b + "@g2:8443"});
   EXPECT_EQ(ids(kms).size(), 1u);

   const std::vector<std::string> three = ids(attestd);
   ASSERT_EQ(three.size(), 3u);
   Call<Ruvo::Void> deleted;
   attestd.Delete(b, nullptr, deleted.Result());
   ASSERT_FALSE(deleted.outcome.IsError());
   std::vector<std::string> two = three;
   two.erase(std::find(two.begin(), two.end(), b + "@g2:8443"));
   EXPECT_EQ(ids(attestd), two);
   std::string d = CreateOk(attestd, "d.test", std::nullopt, "g2");
   const std::vector<std::string> again = ids(attestd);
   EXPECT_EQ(again.size(), 3u);
   EXPECT_NE(std::find(again.begin(), again.end(), d + "@g2:0"), again.end());
   EXPECT_EQ(ids(attestd, byGroup), std::vector<std::string>{});
}

TEST_F(ServicesApiTest, GetAndDelete)
{
   std::string id = CreateOk(kms, "k.test", 8443, "g1");

   Call<Ti::ServicesApi::Info> info;
   kms.Get(id, nullptr, info.Result());
   ASSERT_FALSE(info.outcome.IsError());
   EXPECT_EQ(info.outcome.value->address->hostname, "k.test");
   EXPECT_EQ(info.outcome.value->address->port, 8443);
   EXPECT_EQ(info.outcome.value->group, "g1");
   EXPECT_EQ(info.outcome.value->trusted_CA->cert_chain.size(), 3u);

   // The other kind does not know it.
   Call<Ti::ServicesApi::Info> wrongKind;
   attestd.Get(id, nullptr, wrongKind.Result());
   EXPECT_EQ(wrongKind.ErrorName(), "com.talvor.ruvo.std.errors.not_found");
   EXPECT_EQ(wrongKind.Text(), "Attestion Service not found " + id + ".");
   EXPECT_NE(wire->lastResponse.find(R"("error_type":"NOT_FOUND")"), std::string::npos);

   harness.Memory().FailNext(
       MemoryBackend::Operation::Delete,
       ConfigStoreException(BrimConfigStore::CS_ERR_DB_BUSY, "configstore.db"));
   Call<Ruvo::Void> refused;
   kms.Delete(id, nullptr, refused.Result());
   EXPECT_EQ(refused.MessageId(),
             "com.talvor.brim.trusted_infrastructure.kms.services.host_configuration_error");

   Call<Ruvo::Void> deleted;
   kms.Delete(id, nullptr, deleted.Result());
   EXPECT_FALSE(deleted.outcome.IsError());
   EXPECT_NE(wire->lastResponse.find(R"("result":null)"), std::string::npos);

   Call<Ti::ServicesApi::Info> gone;
   kms.Get(id, nullptr, gone.Result());
   EXPECT_EQ(gone.MessageId(), "com.talvor.brim.trusted_infrastructure.kms.services.not_found");

   // The identifier comes back exactly as the caller passed it.
   std::string odd = " Weird-ID {service} ";
   Call<Ruvo::Void> unknown;
   kms.Delete(odd, nullptr, unknown.Result());
   EXPECT_EQ(unknown.ErrorName(), "com.talvor.ruvo.std.errors.not_found");
   EXPECT_EQ(unknown.Text(), "Key Provider Service not found " + odd + ".");
   Call<Ruvo::Void> unknownAttestd;
   attestd.Delete(odd, nullptr, unknownAttestd.Result());
   EXPECT_EQ(unknownAttestd.MessageId(),
             "com.talvor.brim.trusted_infrastructure.attestation.services.not_found");
}

// Over-long texts are refused before the state, the store or a log line sees
// them; the limits themselves are accepted.
TEST_F(ServicesApiTest, OverLongTextsAreRefusedWhereTheyEnter)
{
   std::string huge(300000, 'h');
   Call<std::string> host = Create(attestd, Spec(huge, std::nullopt, "g1"));
   EXPECT_EQ(host.ErrorName(), "com.talvor.ruvo.std.errors.invalid_argument");
   EXPECT_EQ(host.Text(), "Invalid value for spec.address.hostname: longer than 253 bytes");
   EXPECT_NE(wire->lastResponse.find(R"("error_type":"INVALID_ARGUMENT")"), std::string::npos);
   EXPECT_LT(wire->lastResponse.size(), 1024u) << "the refused text is not echoed back";
   Call<std::string> group = Create(kms, Spec("k.test", std::nullopt, std::string(129, 'g')));
   EXPECT_EQ(group.Text(), "Invalid value for spec.group: longer than 128 bytes");
   EXPECT_TRUE(harness.firewall->Calls().empty());
   EXPECT_EQ(harness.Memory().CallCount(MemoryBackend::Operation::Add), 0);

   Call<Ti::ServicesApi::Info> get;
   kms.Get(std::string(129, 'i'), nullptr, get.Result());
   EXPECT_EQ(get.ErrorName(), "com.talvor.ruvo.std.errors.invalid_argument");
   Call<Ruvo::Void> del;
   attestd.Delete(huge, nullptr, del.Result());
   EXPECT_EQ(del.Text(), "Invalid value for service: longer than 128 bytes");
   size_t logged = 0;
   for (const auto &line : log.Lines()) {
      logged += line.text.size();
   }
   EXPECT_LT(logged, 64u * 1024) << "nothing of the long texts reached the log";

   CreateOk(attestd, std::string(253, 'a'), std::nullopt, std::string(128, 'g'));
}

} // namespace
