#include "runtime/configstore/memory_backend.h"

#include <gtest/gtest.h>

namespace BrimConfigStore {
namespace {

ConfigStoreObject Instance(const std::string &id, const std::string &group)
{
   ConfigStoreObject object(ConfigStoreObjectId("kms_services", "trusted_infrastructure", "brim", id));
   object.SetValue("group", group);
   return object;
}

class MemoryBackendTest : public ::testing::Test {
protected:
   void SetUp() override { ConfigStore::SetBackend(mBackend); }
   void TearDown() override { ConfigStore::SetBackend(nullptr); }

   std::shared_ptr<MemoryBackend> mBackend = std::make_shared<MemoryBackend>();
   FilterSpecObject mAll{ConfigStoreObjectId("kms_services", "trusted_infrastructure", "brim")};
};

TEST_F(MemoryBackendTest, InjectedFailuresChangeNothingAndRunOut)
{
   auto store = ConfigStore::GetStore();
   store->AddObject(Instance("a", "g1"));
   mBackend->FailNext(MemoryBackend::Operation::Add, ConfigStoreException(CS_ERR_DB_FULL, "mem"), 2);
   for (int i = 0; i < 2; i++) {
      try {
         store->AddObject(Instance("b", "g2"));
         FAIL() << "injected failure not raised";
      } catch (const ConfigStoreException &e) {
         EXPECT_EQ(e.GetCode(), CS_ERR_DB_FULL);
         EXPECT_STREQ(e.what(), "No space left for database mem");
      }
   }
   EXPECT_EQ(store->GetAllInstances(mAll).size(), 1u);
   store->AddObject(Instance("b", "g2"));
   EXPECT_EQ(mBackend->CallCount(MemoryBackend::Operation::Add), 4);

   mBackend->FailNext(MemoryBackend::Operation::Delete, ConfigStoreException(CS_ERR_DB_IO, "mem"), -1);
   for (int i = 0; i < 3; i++) {
      EXPECT_THROW(store->DeleteObject(ConfigStoreObjectId("kms_services", "trusted_infrastructure", "brim", "a")),
                   ConfigStoreException);
   }
   mBackend->ClearFailures();
   store->DeleteObject(ConfigStoreObjectId("kms_services", "trusted_infrastructure", "brim", "a"));
   auto left = store->GetAllInstances(mAll);
   ASSERT_EQ(left.size(), 1u);
   EXPECT_EQ(left[0]->GetObjectId().instanceId, "b");
}

TEST_F(MemoryBackendTest, BehavesLikeTheDatabase)
{
   auto store = ConfigStore::GetStore();
   store->AddObject(Instance("z", "g1"));
   store->AddObject(Instance("a", "g2"));
   EXPECT_THROW(store->AddObject(Instance("z", "g3")), ConfigStoreException);
   EXPECT_THROW(store->DeleteObject(ConfigStoreObjectId("kms_services", "trusted_infrastructure", "brim", "q")),
                ConfigStoreException);
   auto all = store->GetAllInstances(mAll);
   ASSERT_EQ(all.size(), 2u);
   EXPECT_EQ(all[0]->GetObjectId().instanceId, "z") << "insertion order, not id order";
   // Returned instances are copies: changing one does not change the store.
   all[0]->SetValue("group", std::string("changed"));
   std::string group;
   store->GetAllInstances(mAll)[0]->GetValue("group", group);
   EXPECT_EQ(group, "g1");

   mBackend->FailNext(MemoryBackend::Operation::SetBootStatus, ConfigStoreException(CS_ERR_DB_BUSY, "mem"));
   EXPECT_THROW(SetBootStatus(mAll.GetObjectId(), true), ConfigStoreException);
   SetBootStatus(mAll.GetObjectId(), true);
   EXPECT_TRUE(store->GetBootStatus(mAll.GetObjectId()));
}

} // namespace
} // namespace BrimConfigStore
