#include "apps/zarna/state/service_table.h"

#include <gtest/gtest.h>

#include "apps/zarna/state/config_store_keys.h"
#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/configstore/memory_backend.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

namespace Keys = Com::Talvor::Brim::TrustedInfrastructure;
using BrimConfigStore::ConfigStore;
using BrimConfigStore::ConfigStoreException;
using BrimConfigStore::ConfigStoreObject;
using BrimConfigStore::ConfigStoreObjectId;
using BrimConfigStore::MemoryBackend;
using BrimConfigStore::SubObjectId;
using Zarna::ServiceResult;
using Zarna::ServiceTable;
using ZarnaTesting::Address;
using ZarnaTesting::ValidChain;
using ZarnaTesting::ValidChainPems;

std::shared_ptr<ConfigStoreObject> StoredInstance(const std::string &table, const std::string &id,
                                                  const std::string &hostname,
                                                  std::optional<int64_t> port,
                                                  const std::vector<std::string> &chain,
                                                  const std::string &group)
{
   auto object = std::make_shared<ConfigStoreObject>(
       ConfigStoreObjectId(table, Keys::kGroup, Keys::kComponent, id));
   auto address = object->CreateSubObject(SubObjectId(Keys::kAddress));
   address->SetValue(Keys::kHostName, hostname);
   if (port) {
      address->SetValue(Keys::kPort, *port);
   }
   object->CreateSubObject(SubObjectId(Keys::kTrustedCA))->SetValue(Keys::kCertChain, chain);
   object->SetValue(Keys::kGroupId, group);
   return object;
}

// A store whose load returns exactly what the test says, in that order.
class ScriptedBackend : public MemoryBackend {
public:
   std::vector<std::shared_ptr<ConfigStoreObject>> script;
   std::vector<std::shared_ptr<ConfigStoreObject>> Load(const std::string &,
                                                        const ConfigStoreObjectId &) override
   {
      return script;
   }
};

class ServiceTableTest : public ::testing::Test {
protected:
   std::shared_ptr<MemoryBackend> backend = std::make_shared<MemoryBackend>();
   ServiceTable table{Keys::kKmsServicesKey, [this]() {
                         return std::make_shared<ConfigStore>(backend,
                                                              BrimConfigStore::kGlobalNamespace);
                      }};
   HostlibTesting::LogCapture log;

   std::vector<std::shared_ptr<ConfigStoreObject>> Stored()
   {
      return ConfigStore(backend, BrimConfigStore::kGlobalNamespace)
          .GetAllInstances(BrimConfigStore::FilterSpecObject(
              ConfigStoreObjectId(Keys::kKmsServicesKey, Keys::kGroup, Keys::kComponent)));
   }

   // A table over a store that loads exactly `objects`, populated.
   std::unique_ptr<ServiceTable> LoadFrom(std::vector<std::shared_ptr<ConfigStoreObject>> objects)
   {
      scripted->script = std::move(objects);
      auto loaded = std::make_unique<ServiceTable>(Keys::kKmsServicesKey, [store = scripted]() {
         return std::make_shared<ConfigStore>(store, BrimConfigStore::kGlobalNamespace);
      });
      loaded->Populate();
      return loaded;
   }
   static std::shared_ptr<ConfigStoreObject> Row(const std::string &id, const std::string &hostname,
                                                    std::optional<int64_t> port,
                                                    const std::vector<std::string> &chain, const std::string &group)
   {
      return StoredInstance(Keys::kKmsServicesKey, id, hostname, port, chain, group);
   }
   std::shared_ptr<ScriptedBackend> scripted = std::make_shared<ScriptedBackend>();

   ServiceResult Insert(const std::string &hostname, std::optional<int64_t> port,
                        const std::string &group, std::vector<std::string> chain = ValidChainPems())
   {
      std::string id;
      return table.Insert(Address(hostname, port),
                          std::make_shared<const Zarna::X509CertChain>(Zarna::X509CertChain{chain}),
                          group, id);
   }
};

// Loaded as stored (the later of two with one id wins); a missing port stays
// absent and counts as 443; a port no API call could have stored is not loaded
// at all: cast, it would name some other port.
TEST_F(ServiceTableTest, LoadsStoredInstancesAsStored)
{
   auto loaded = LoadFrom({Row("b", "kms.test", std::nullopt, {"x", "y"}, "g1"),
                           Row("a", "other.test", 8443, {}, "g2"),
                           Row("b", "later.test", 9000, {"z"}, "g3"),
                           Row("none", "kms.test", std::nullopt, {}, "g4"),
                           Row("big", "a.test", 65536 + 443, {}, "g5"),
                           Row("neg", "b.test", -1, {}, "g6"),
                           Row("max", "c.test", 65535, {}, "g7"),
                           Row("zero", "d.test", 0, {}, "g8")});
   ASSERT_EQ(loaded->GetEntries().size(), 5u);
   auto a = loaded->Find("a");
   EXPECT_EQ(a->address->hostname, "other.test");
   EXPECT_EQ(a->address->port, 8443);
   EXPECT_TRUE(a->certChain->certs.empty());
   auto b = loaded->Find("b");
   EXPECT_EQ(b->address->hostname, "later.test");
   EXPECT_EQ(b->group, "g3");
   EXPECT_EQ(b->certChain->certs, std::vector<std::string>{"z"});
   EXPECT_TRUE(scripted->GetBootStatus(
       BrimConfigStore::kGlobalNamespace,
       ConfigStoreObjectId(Keys::kKmsServicesKey, Keys::kGroup, Keys::kComponent)));
   EXPECT_TRUE(log.Has(125, "Populate(kms_services)"));
   EXPECT_TRUE(log.Has(125, "Found 8 instances from Config Store"));
   EXPECT_TRUE(log.Has(125, "Loaded server ID b"));

   EXPECT_FALSE(loaded->Find("none")->address->port.has_value());
   std::string id;
   EXPECT_EQ(loaded->Insert(Address("kms.test", 443), ValidChain(), "g9", id), ServiceResult::AlreadyExists);
   EXPECT_EQ(scripted->CallCount(MemoryBackend::Operation::Add), 0);

   EXPECT_EQ(loaded->Find("big"), nullptr);
   EXPECT_EQ(loaded->Find("neg"), nullptr);
   EXPECT_EQ(loaded->Find("max")->address->port, 65535);
   EXPECT_EQ(loaded->Find("zero")->address->port, 0);
   EXPECT_TRUE(log.Has(110, "Not loading server ID big from kms_services: port 65979 is outside 0-65535"));
   EXPECT_TRUE(log.Has(110, "Not loading server ID neg from kms_services: port -1 is outside 0-65535"));
}

TEST_F(ServiceTableTest, LoadFailureThrowsAndMalformedInstanceFailsTheLoad)
{
   backend->FailNext(MemoryBackend::Operation::Load,
                     ConfigStoreException(BrimConfigStore::CS_ERR_DB_IO, "disk"));
   EXPECT_THROW(table.Populate(), ConfigStoreException);

   auto broken = std::make_shared<ConfigStoreObject>(
       ConfigStoreObjectId(Keys::kKmsServicesKey, Keys::kGroup, Keys::kComponent, "x"));
   broken->SetValue(Keys::kGroupId, "g"); // no address
   EXPECT_THROW(LoadFrom({broken}), ConfigStoreException);
}

TEST_F(ServiceTableTest, DuplicateAndGroupChecks)
{
   ASSERT_EQ(Insert("kms.test", std::nullopt, "g1"), ServiceResult::Ok);
   // Absent port and 443 are the same endpoint.
   EXPECT_EQ(Insert("kms.test", 443, "g2"), ServiceResult::AlreadyExists);
   // The duplicate check comes before the group check.
   EXPECT_EQ(Insert("kms.test", 443, "g1"), ServiceResult::AlreadyExists);
   EXPECT_EQ(Insert("other.test", 443, "g1"), ServiceResult::GroupAlreadyServed);
   // Same hostname, other port, other group: a different service.
   EXPECT_EQ(Insert("kms.test", 8443, "g2"), ServiceResult::Ok);
   // Hostnames compare as exact text.
   EXPECT_EQ(Insert("KMS.test", std::nullopt, "g3"), ServiceResult::Ok);
   EXPECT_EQ(table.GetEntries().size(), 3u);
   EXPECT_EQ(Stored().size(), 3u);
}

TEST_F(ServiceTableTest, CertificateChecksRefuseBeforeWriting)
{
   const auto &pems = ValidChainPems();
   // Leaf first: entry 0 is not a self-signed root.
   EXPECT_EQ(Insert("a.test", {}, "g1", {pems[2], pems[1], pems[0]}),
             ServiceResult::InvalidCertificates);
   // Text before the begin marker cannot be standardized.
   EXPECT_EQ(Insert("a.test", {}, "g1", {"abcd" + pems[0]}), ServiceResult::InvalidCertificates);
   EXPECT_TRUE(log.Has(110, "Could not standardize the certificate for a.test"));
   // Standardizes, but is no certificate.
   EXPECT_EQ(
       Insert("a.test", {}, "g1", {"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----"}),
       ServiceResult::InvalidCertificates);
   EXPECT_TRUE(log.Has(110, "Failed to validate certificate chain for a.test"));
   EXPECT_EQ(backend->CallCount(MemoryBackend::Operation::Add), 0);
   EXPECT_TRUE(table.GetEntries().empty());
}

TEST_F(ServiceTableTest, StoresChainTextsAsGivenAndEmptyChains)
{
   // Windows line ends and other line lengths: accepted, stored unchanged.
   std::vector<std::string> pasted;
   for (const std::string &pem : ValidChainPems()) {
      std::string text;
      for (char c : pem) {
         text += c == '\n' ? std::string("\r\n  ") : std::string(1, c);
      }
      pasted.push_back(text);
   }
   std::string id;
   ASSERT_EQ(
       table.Insert(Address("a.test"),
                    std::make_shared<const Zarna::X509CertChain>(Zarna::X509CertChain{pasted}),
                    "g1", id),
       ServiceResult::Ok);
   EXPECT_TRUE(log.Has(125, "Insert(" + id + ")"));
   std::string emptyId;
   ASSERT_EQ(table.Insert(Address("b.test", 8443), std::make_shared<const Zarna::X509CertChain>(),
                          "g2", emptyId),
             ServiceResult::Ok);

   auto stored = Stored();
   ASSERT_EQ(stored.size(), 2u);
   for (const auto &object : stored) {
      std::vector<std::string> chain;
      object->GetSubObject(SubObjectId(Keys::kTrustedCA))->GetValue(Keys::kCertChain, chain);
      std::string hostname;
      auto address = object->GetSubObject(SubObjectId(Keys::kAddress));
      address->GetValue(Keys::kHostName, hostname);
      int64_t port = 0;
      if (object->GetObjectId().instanceId == id) {
         EXPECT_EQ(chain, pasted);
         EXPECT_FALSE(address->GetValue(Keys::kPort, port)); // no port given, none stored
      } else {
         EXPECT_EQ(object->GetObjectId().instanceId, emptyId);
         EXPECT_TRUE(chain.empty());
         EXPECT_TRUE(address->GetValue(Keys::kPort, port));
         EXPECT_EQ(port, 8443);
      }
   }
   EXPECT_EQ(table.Find(id)->certChain->certs, pasted);
}

TEST_F(ServiceTableTest, StoreFailuresLeaveTableAndStoreInAgreement)
{
   backend->FailNext(MemoryBackend::Operation::Add,
                     ConfigStoreException(BrimConfigStore::CS_ERR_DB_FULL, "configstore.db"));
   std::string id = "unchanged";
   EXPECT_EQ(table.Insert(Address("a.test"), ValidChain(), "g1", id),
             ServiceResult::ConfigStoreFailure);
   EXPECT_EQ(id, "unchanged");
   EXPECT_TRUE(table.GetEntries().empty());
   EXPECT_TRUE(Stored().empty());
   EXPECT_TRUE(log.Contains("ConfigStore Exception during Insert("));

   ASSERT_EQ(table.Insert(Address("a.test"), ValidChain(), "g1", id), ServiceResult::Ok);
   backend->FailNext(MemoryBackend::Operation::Delete,
                     ConfigStoreException(BrimConfigStore::CS_ERR_DB_BUSY, "configstore.db"));
   EXPECT_THROW(table.Delete(id), ConfigStoreException);
   EXPECT_NE(table.Find(id), nullptr);
   EXPECT_EQ(Stored().size(), 1u);

   table.Delete(id);
   EXPECT_TRUE(log.Has(125, "Delete(" + id + ")"));
   EXPECT_EQ(table.Find(id), nullptr);
   EXPECT_TRUE(Stored().empty());

   // Gone from the store behind our back: the entry goes too, or it would be
   // undeletable until a restart.
   ASSERT_EQ(table.Insert(Address("b.test"), ValidChain(), "g2", id), ServiceResult::Ok);
   backend->Delete(BrimConfigStore::kGlobalNamespace,
                   ConfigStoreObjectId(Keys::kKmsServicesKey, Keys::kGroup, Keys::kComponent, id));
   table.Delete(id);
   EXPECT_EQ(table.Find(id), nullptr);
   EXPECT_TRUE(log.Has(115, "Service " + id + " was already gone from the configuration store"));
}

} // namespace
