// Services of the trust state: insert, delete, lookup, listing, and the firewall
// allow-list that must always equal the addresses of the configured hosts.
#include <gtest/gtest.h>

#include <set>

#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

using BrimConfigStore::ConfigStoreException;
using BrimConfigStore::MemoryBackend;
using Zarna::ServiceFilter;
using Zarna::ServiceResult;
using Zarna::ZarnaState;
using ZarnaTesting::Address;
using ZarnaTesting::ConfiguredHostnames;
using ZarnaTesting::ValidChain;
using ZarnaTesting::ValidChainPems;

std::shared_ptr<const Zarna::X509CertChain> BadChain()
{
   const auto &pems = ValidChainPems();
   return std::make_shared<const Zarna::X509CertChain>(Zarna::X509CertChain{{pems[2], pems[0]}});
}

class ZarnaStateServicesTest : public ::testing::Test {
protected:
   ZarnaTesting::StateHarness harness;
   HostlibTesting::LogCapture log;
   std::shared_ptr<ZarnaState> state = harness.Start();

   void ExpectFirewallMatchesServices()
   {
      EXPECT_EQ(harness.firewall->Allowed(),
                harness.firewall->AddressesOf(ConfiguredHostnames(*state)));
   }
   std::vector<std::string> GroupNames() { return ZarnaTesting::GroupNames(*state); }
   std::string InsertAttestd(const std::string &host, std::optional<int64_t> port, const std::string &group)
   {
      return ZarnaTesting::InsertAttestd(*state, host, group, port);
   }
   std::string InsertZarnd(const std::string &host, std::optional<int64_t> port, const std::string &group)
   {
      return ZarnaTesting::InsertZarnd(*state, host, group, port);
   }
};

TEST_F(ZarnaStateServicesTest, InsertAllowsHostAndAddsGroup)
{
   InsertAttestd("attestd.test", std::nullopt, "g1");
   InsertZarnd("kms.test", 8443, "g1");
   InsertZarnd("kms2.test", std::nullopt, "g2");
   ExpectFirewallMatchesServices();
   EXPECT_EQ(harness.firewall->Allowed().size(), 3u);
   EXPECT_EQ(GroupNames(), (std::vector<std::string>{"g1", "g2"}));
   EXPECT_TRUE(log.Has(130, "There is already an instance of group g1 in the groupInfo"));
}

TEST_F(ZarnaStateServicesTest, FailedInsertsKeepOnlyHostsStillInUse)
{
   std::string id;
   InsertAttestd("shared.test", std::nullopt, "g1");
   // Same host for the other kind, refused: the attestation service still needs it.
   EXPECT_EQ(state->InsertZarndInfo(Address("shared.test"), BadChain(), "g1", id),
             ServiceResult::InvalidCertificates);
   ExpectFirewallMatchesServices();

   // Refused for its group, but another group's service of the same kind uses the host.
   InsertAttestd("x.test", std::nullopt, "g2");
   EXPECT_EQ(state->InsertAttestdInfo(Address("x.test", 8443), ValidChain(), "g1", id),
             ServiceResult::GroupAlreadyServed);
   ExpectFirewallMatchesServices();
   EXPECT_FALSE(harness.firewall->Allowed().empty());

   // A duplicate leaves the host alone; a host nobody uses goes again.
   EXPECT_EQ(state->InsertAttestdInfo(Address("x.test", 443), ValidChain(), "g3", id),
             ServiceResult::AlreadyExists);
   EXPECT_EQ(state->InsertZarndInfo(Address("lonely.test"), BadChain(), "g3", id),
             ServiceResult::InvalidCertificates);
   ExpectFirewallMatchesServices();

   // A host that cannot be allowed is refused before anything is stored.
   harness.firewall->SetUnresolvable("nowhere.test");
   EXPECT_EQ(state->InsertAttestdInfo(Address("nowhere.test"), ValidChain(), "g9", id),
             ServiceResult::FirewallFailure);
   EXPECT_TRUE(log.Has(110, "Error adding attestd service hostname nowhere.test to firewall"));
   EXPECT_EQ(state->InsertZarndInfo(Address("nowhere.test"), ValidChain(), "g9", id),
             ServiceResult::FirewallFailure);
   EXPECT_TRUE(log.Has(110, "Error adding zarnd service hostname nowhere.test to firewall"));
   EXPECT_EQ(GroupNames(), (std::vector<std::string>{"g1", "g2"}));
   EXPECT_EQ(harness.Memory().CallCount(MemoryBackend::Operation::Add), 2);

   // Refusals are decided before the firewall changes, so there is nothing to take back.
   int changes = harness.firewall->Changes();
   EXPECT_EQ(state->InsertZarndInfo(Address("bad.test"), BadChain(), "g4", id),
             ServiceResult::InvalidCertificates);
   EXPECT_EQ(state->InsertZarndInfo(Address("x.test"), ValidChain(), "g2", id),
             ServiceResult::Ok);
   EXPECT_EQ(state->InsertZarndInfo(Address("y.test"), ValidChain(), "g2", id),
             ServiceResult::GroupAlreadyServed);
   EXPECT_EQ(harness.firewall->Changes(), changes + 1);
}

// Two hostnames that resolve to one address share it: neither a refused insert
// nor a delete under one name may close the address the other one needs.
TEST_F(ZarnaStateServicesTest, HostnamesSharingAnAddressKeepItOpen)
{
   harness.firewall->SetResolution("localhost.test", {"192.0.2.7", "2001:db8::7"});
   harness.firewall->SetResolution("192.0.2.7", {"192.0.2.7"});
   std::string kms = InsertZarnd("localhost.test", std::nullopt, "kms-group");

   // Stored after the firewall changed, then refused by the store.
   std::string id;
   harness.Memory().FailNext(
       MemoryBackend::Operation::Add,
       ConfigStoreException(BrimConfigStore::CS_ERR_DB_FULL, "configstore.db"));
   EXPECT_EQ(state->InsertAttestdInfo(Address("192.0.2.7"), ValidChain(), "other", id),
             ServiceResult::ConfigStoreFailure);
   EXPECT_EQ(harness.firewall->Allowed(), (std::set<std::string>{"192.0.2.7", "2001:db8::7"}));

   // An address this insert added itself is taken back when the store refuses.
   harness.firewall->SetResolution("new.test", {"192.0.2.7", "198.51.100.1"});
   harness.Memory().FailNext(
       MemoryBackend::Operation::Add,
       ConfigStoreException(BrimConfigStore::CS_ERR_DB_FULL, "configstore.db"));
   EXPECT_EQ(state->InsertAttestdInfo(Address("new.test"), ValidChain(), "other", id),
             ServiceResult::ConfigStoreFailure);
   EXPECT_EQ(harness.firewall->Allowed(), (std::set<std::string>{"192.0.2.7", "2001:db8::7"}));

   // Deleting under one name keeps what the other name still resolves to.
   std::string attestd = InsertAttestd("192.0.2.7", std::nullopt, "other");
   ASSERT_EQ(state->DeleteZarndInfo(kms), ServiceResult::Ok);
   EXPECT_EQ(harness.firewall->Allowed(), (std::set<std::string>{"192.0.2.7"}));
   ASSERT_EQ(state->DeleteAttestdInfo(attestd), ServiceResult::Ok);
   EXPECT_TRUE(harness.firewall->Allowed().empty());

   // A failing removal is logged and the delete still succeeds.
   std::string again = InsertAttestd("192.0.2.7", std::nullopt, "other");
   harness.firewall->FailRemove("192.0.2.7");
   EXPECT_EQ(state->DeleteAttestdInfo(again), ServiceResult::Ok);
   EXPECT_TRUE(log.Has(110, "Error removing hostname 192.0.2.7 from firewall"));
}

TEST_F(ZarnaStateServicesTest, DeleteKeepsHostWhileAnyServiceUsesIt)
{
   // Other group, other kind.
   std::string a = InsertAttestd("h.test", std::nullopt, "g1");
   InsertZarnd("h.test", std::nullopt, "g2");
   EXPECT_EQ(state->DeleteAttestdInfo(a), ServiceResult::Ok);
   EXPECT_TRUE(
       log.Has(130, "Key Provider Service still configured. Not removing h.test from firewall."));
   ExpectFirewallMatchesServices();
   EXPECT_FALSE(harness.firewall->Allowed().empty());

   // Same kind, other port.
   std::string p1 = InsertZarnd("p.test", 443, "g3");
   std::string p2 = InsertZarnd("p.test", 8443, "g4");
   EXPECT_EQ(state->DeleteZarndInfo(p1), ServiceResult::Ok);
   EXPECT_TRUE(
       log.Has(130, "Key Provider Service still configured. Not removing p.test from firewall."));
   ExpectFirewallMatchesServices();
   EXPECT_EQ(state->DeleteZarndInfo(p2), ServiceResult::Ok);
   ExpectFirewallMatchesServices();

   // Same group, other kind (the classic case).
   std::string z = InsertZarnd("s.test", std::nullopt, "g5");
   InsertAttestd("s.test", std::nullopt, "g5");
   EXPECT_EQ(state->DeleteZarndInfo(z), ServiceResult::Ok);
   EXPECT_TRUE(
       log.Has(130, "Attestd service still configured. Not removing s.test from firewall."));
   ExpectFirewallMatchesServices();

   for (const auto &s : state->ListAttestdServices(std::nullopt)) {
      EXPECT_EQ(state->DeleteAttestdInfo(s->instanceId), ServiceResult::Ok);
   }
   for (const auto &s : state->ListZarndServices(std::nullopt)) {
      EXPECT_EQ(state->DeleteZarndInfo(s->instanceId), ServiceResult::Ok);
   }
   EXPECT_TRUE(harness.firewall->Allowed().empty());

   harness.firewall->FailRemove("f.test");
   std::string f = InsertZarnd("f.test", std::nullopt, "g6");
   EXPECT_EQ(state->DeleteZarndInfo(f), ServiceResult::Ok);
   EXPECT_TRUE(log.Has(110, "Error removing hostname f.test from firewall"));
}

TEST_F(ZarnaStateServicesTest, DeleteDropsTheGroupAndItsToken)
{
   InsertAttestd("attestd.test", std::nullopt, "g1");
   std::string z = InsertZarnd("kms.test", std::nullopt, "g1");
   ASSERT_TRUE(state->AddTokenForGroup("g1", "token", nullptr));

   EXPECT_EQ(state->DeleteZarndInfo(z), ServiceResult::Ok);
   EXPECT_TRUE(log.Has(130, "Deleting token for group g1"));
   EXPECT_EQ(state->GetNumTokens(), 0);
   EXPECT_TRUE(GroupNames().empty());
   // The group's attestation service stays.
   EXPECT_EQ(state->ListAttestdServices(std::nullopt).size(), 1u);

   EXPECT_EQ(state->DeleteZarndInfo(z), ServiceResult::NotFound);
   EXPECT_TRUE(log.Has(110, "No configured services with instance id " + z));
   EXPECT_EQ(state->DeleteAttestdInfo(z), ServiceResult::NotFound);
}

TEST_F(ZarnaStateServicesTest, StoreFailureOnInsertOrDeleteChangesNothing)
{
   harness.Memory().FailNext(
       MemoryBackend::Operation::Add,
       ConfigStoreException(BrimConfigStore::CS_ERR_DB_FULL, "configstore.db"));
   std::string id;
   EXPECT_EQ(state->InsertAttestdInfo(Address("a.test"), ValidChain(), "g1", id),
             ServiceResult::ConfigStoreFailure);
   EXPECT_TRUE(state->ListAttestdServices(std::nullopt).empty());
   EXPECT_TRUE(GroupNames().empty());
   EXPECT_FALSE(state->HasPendingAttemptAttestation());
   ExpectFirewallMatchesServices();
   EXPECT_TRUE(ZarnaState::Create(harness.Options())->ListAttestdServices(std::nullopt).empty());

   std::string a = InsertAttestd("attestd.test", std::nullopt, "g1");
   ASSERT_TRUE(state->AddTokenForGroup("g1", "token", nullptr));
   auto allowed = harness.firewall->Allowed();

   harness.Memory().FailNext(MemoryBackend::Operation::Delete,
                             ConfigStoreException(BrimConfigStore::CS_ERR_DB_IO, "configstore.db"));
   EXPECT_EQ(state->DeleteAttestdInfo(a), ServiceResult::ConfigStoreFailure);
   EXPECT_TRUE(log.Contains("ConfigStore Exception during Delete(" + a + "): "));
   EXPECT_TRUE(log.Has(130, "Found group g1 for attestd instanceId " + a));

   // Memory, store and firewall all still have the service, its group and token.
   EXPECT_EQ(state->ListAttestdServices(std::nullopt).size(), 1u);
   EXPECT_EQ(GroupNames(), std::vector<std::string>{"g1"});
   EXPECT_EQ(state->GetNumTokens(), 1);
   EXPECT_EQ(harness.firewall->Allowed(), allowed);
   auto reloaded = ZarnaState::Create(harness.Options());
   EXPECT_EQ(reloaded->ListAttestdServices(std::nullopt).size(), 1u);

   EXPECT_EQ(state->DeleteAttestdInfo(a), ServiceResult::Ok);
   EXPECT_EQ(state->GetNumTokens(), 0);
   EXPECT_TRUE(harness.firewall->Allowed().empty());
}

TEST_F(ZarnaStateServicesTest, LookupStandardizesCertificatesAndKeepsTheStoredOnes)
{
   std::vector<std::string> pasted;
   for (const std::string &pem : ValidChainPems()) {
      std::string crlf;
      for (char c : pem) {
         crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
      }
      pasted.push_back(crlf);
   }
   std::string id;
   ASSERT_EQ(state->InsertZarndInfo(
                 Address("kms.test"),
                 std::make_shared<const Zarna::X509CertChain>(Zarna::X509CertChain{pasted}), "g1",
                 id),
             ServiceResult::Ok);

   std::shared_ptr<const Zarna::ServiceInfo> record;
   ASSERT_EQ(state->GetZarndService(id, record), ServiceResult::Ok);
   ASSERT_EQ(record->certChain->certs.size(), 3u);
   for (size_t i = 0; i < 3; i++) {
      const std::string &cert = record->certChain->certs[i];
      EXPECT_EQ(cert.find('\r'), std::string::npos);
      EXPECT_EQ(cert.rfind("-----END CERTIFICATE-----"), cert.size() - 25);
   }
   EXPECT_TRUE(log.Has(130, "Standardized Certificate:"));
   EXPECT_EQ(record->group, "g1");
   EXPECT_EQ(state->GetAttestdService(id, record), ServiceResult::NotFound);

   std::string hostname;
   uint32_t port = 0;
   std::vector<std::string> certs;
   ASSERT_TRUE(state->GetZarndInfo("g1", hostname, port, certs));
   EXPECT_EQ(hostname, "kms.test");
   EXPECT_EQ(port, 443u);
   EXPECT_EQ(certs.size(), 3u);
   EXPECT_FALSE(state->GetAttestdInfo("g1", hostname, port, certs));
   EXPECT_TRUE(log.Has(110, "No configured servers found for group g1"));
}

TEST_F(ZarnaStateServicesTest, ListingFilters)
{
   std::string a = InsertAttestd("a.test", std::nullopt, "g1");
   std::string b = InsertAttestd("a.test", 8443, "g2");
   std::string c = InsertAttestd("c.test", 443, "g3");
   auto ids = [](const ZarnaState::ServiceList &list) {
      auto sorted = ZarnaTesting::Ids(list);
      return std::set<std::string>(sorted.begin(), sorted.end());
   };

   auto all = state->ListAttestdServices(ServiceFilter{});
   ASSERT_EQ(all.size(), 3u);
   EXPECT_TRUE(all[0]->instanceId < all[1]->instanceId && all[1]->instanceId < all[2]->instanceId);
   EXPECT_EQ(state->ListAttestdServices(std::nullopt).size(), 3u);

   ServiceFilter byAddress;
   byAddress.addresses =
       std::vector<Zarna::NetworkAddress>{{"a.test", std::nullopt}, {"c.test", std::nullopt}};
   EXPECT_EQ(ids(state->ListAttestdServices(byAddress)), (std::set<std::string>{a, c}));
   byAddress.addresses = std::vector<Zarna::NetworkAddress>{{"a.test", 8443}};
   EXPECT_EQ(ids(state->ListAttestdServices(byAddress)), std::set<std::string>{b});
   byAddress.addresses = std::vector<Zarna::NetworkAddress>{{"A.test", 8443}};
   EXPECT_TRUE(state->ListAttestdServices(byAddress).empty());

   ServiceFilter combined;
   combined.instanceIds = std::set<std::string>{a, b};
   combined.groups = std::set<std::string>{"g2", "g3"};
   EXPECT_EQ(ids(state->ListAttestdServices(combined)), std::set<std::string>{b});

   ServiceFilter emptySet;
   emptySet.groups = std::set<std::string>{};
   EXPECT_TRUE(state->ListAttestdServices(emptySet).empty());
   EXPECT_TRUE(state->ListZarndServices(std::nullopt).empty());
}

TEST_F(ZarnaStateServicesTest, HostnameListsAndShutdownClosesFirewall)
{
   InsertZarnd("k1.test", std::nullopt, "g1");
   InsertZarnd("k1.test", 8443, "g2");
   InsertAttestd("k1.test", std::nullopt, "g1");
   InsertAttestd("a1.test", std::nullopt, "g2");
   InsertAttestd("a1.test", 8443, "g3");
   {
      MXUser::ReadLockGuard guard(state->StateLock());
      std::vector<std::string> all;
      state->GetAllHostnames(all);
      EXPECT_EQ(all, (std::vector<std::string>{"k1.test", "k1.test", "a1.test"}));
      std::vector<std::string> attestd;
      state->GetAttestdHostnames(attestd);
      EXPECT_EQ(attestd.size(), 3u);
   }
   EXPECT_TRUE(harness.firewall->Enabled());
   state->Shutdown();
   EXPECT_FALSE(harness.firewall->Enabled());
   EXPECT_TRUE(harness.firewall->Allowed().empty());
   EXPECT_FALSE(state->HasPendingLogState());
}

TEST(ZarnaStateStartTest, InitAllowsStoredHostsAndFailedLoadIsRetried)
{
   HostlibTesting::LogCapture log;
   ZarnaTesting::StateHarness harness;
   {
      auto first = harness.Start();
      std::string id;
      ASSERT_EQ(first->InsertZarndInfo(Address("kms.test"), ValidChain(), "g1", id),
                ServiceResult::Ok);
      ASSERT_EQ(first->InsertAttestdInfo(Address("att.test"), ValidChain(), "g1", id),
                ServiceResult::Ok);
      first->Shutdown();
   }
   ASSERT_TRUE(harness.firewall->Allowed().empty());

   harness.Memory().FailNext(
       MemoryBackend::Operation::Load,
       ConfigStoreException(BrimConfigStore::CS_ERR_DB_CORRUPT, "configstore.db"));
   ZarnaState::SetInstanceOptionsForTesting(harness.Options());
   EXPECT_THROW(ZarnaState::GetInstance(), ConfigStoreException);
   EXPECT_EQ(ZarnaState::GetExistingInstance(), nullptr) << "a failed build leaves nothing behind";
   EXPECT_TRUE(log.Contains("ConfigStore exception during Populate(attestation_services): "));

   auto state = ZarnaState::GetInstance();
   EXPECT_EQ(state, ZarnaState::GetInstance());
   EXPECT_EQ(ZarnaState::GetExistingInstance(), state);
   // Left open by a crash between a firewall change and the store's commit.
   harness.firewall->PreAllow("198.51.100.66");
   int changes = harness.firewall->Changes();
   state->Init();
   EXPECT_TRUE(harness.firewall->Enabled());
   EXPECT_EQ(harness.firewall->Allowed(), harness.firewall->AddressesOf({"kms.test", "att.test"}));
   EXPECT_EQ(harness.firewall->Changes(), changes + 1) << "start-up is one firewall change";
   changes = harness.firewall->Changes();
   state->Shutdown();
   EXPECT_EQ(harness.firewall->Changes(), changes + 1) << "stop is one firewall change";
   EXPECT_TRUE(harness.firewall->Allowed().empty());
   ZarnaState::ResetInstanceForTesting();
}

} // namespace
