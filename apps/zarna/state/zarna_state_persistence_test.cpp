// The configured services survive a restart of the agent: a new state over the
// same database sees what the old one stored, and a store that refuses a change
// leaves what a restart would see equal to what the running agent shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/configstore/sqlite_backend.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

using BrimConfigStore::ConfigStoreException;
using BrimConfigStore::ConfigStoreObject;
using BrimConfigStore::ConfigStoreObjectId;
using Zarna::ServiceResult;
using Zarna::ZarnaState;
using ZarnaTesting::Address;
using ZarnaTesting::ValidChain;

// SQLite underneath, with the next add or delete refused on request.
class FlakyBackend : public BrimConfigStore::ConfigStoreBackend {
public:
   explicit FlakyBackend(std::shared_ptr<BrimConfigStore::ConfigStoreBackend> inner)
       : mInner(std::move(inner))
   {
   }
   std::atomic<bool> failNextWrite{false};

   std::vector<std::shared_ptr<ConfigStoreObject>> Load(const std::string &ns,
                                                        const ConfigStoreObjectId &id) override
   {
      return mInner->Load(ns, id);
   }
   void Add(const std::string &ns, const ConfigStoreObject &object) override
   {
      MaybeFail();
      mInner->Add(ns, object);
   }
   void Delete(const std::string &ns, const ConfigStoreObjectId &id) override
   {
      MaybeFail();
      mInner->Delete(ns, id);
   }
   void SetBootStatus(const std::string &ns, const ConfigStoreObjectId &id, bool status) override
   {
      mInner->SetBootStatus(ns, id, status);
   }
   bool GetBootStatus(const std::string &ns, const ConfigStoreObjectId &id) override
   {
      return mInner->GetBootStatus(ns, id);
   }

private:
   void MaybeFail()
   {
      if (failNextWrite.exchange(false)) {
         throw ConfigStoreException(BrimConfigStore::CS_ERR_DB_FULL, "configstore.db");
      }
   }
   std::shared_ptr<BrimConfigStore::ConfigStoreBackend> mInner;
};

struct Snapshot {
   std::vector<std::tuple<std::string, std::string, std::optional<int64_t>, std::string,
                          std::vector<std::string>>>
       attestd, zarnd;
   bool operator==(const Snapshot &) const = default;
};

Snapshot Take(ZarnaState &state)
{
   Snapshot snapshot;
   for (bool attestd : {true, false}) {
      for (const auto &s : attestd ? state.ListAttestdServices(std::nullopt) : state.ListZarndServices(std::nullopt)) {
         std::shared_ptr<const Zarna::ServiceInfo> info;
         EXPECT_EQ(attestd ? state.GetAttestdService(s->instanceId, info) : state.GetZarndService(s->instanceId, info),
                   ServiceResult::Ok);
         (attestd ? snapshot.attestd : snapshot.zarnd)
             .emplace_back(s->instanceId, s->address->hostname, s->address->port, s->group, info->certChain->certs);
      }
   }
   return snapshot;
}

class ZarnaStatePersistenceTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      mDir = std::filesystem::temp_directory_path() /
             ("zarna-state-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
      std::filesystem::remove_all(mDir);
      std::filesystem::create_directories(mDir);
   }
   void TearDown() override { std::filesystem::remove_all(mDir); }

   // A fresh agent process: its own connection to the same database file.
   std::shared_ptr<ZarnaState> Restart(std::shared_ptr<FlakyBackend> *flaky = nullptr)
   {
      auto backend = std::make_shared<FlakyBackend>(
          BrimConfigStore::SqliteBackend::Open((mDir / "configstore.db").string()));
      if (flaky != nullptr) {
         *flaky = backend;
      }
      harness.backend = backend;
      return harness.Start();
   }

   ZarnaTesting::StateHarness harness;
   HostlibTesting::LogCapture log;
   std::filesystem::path mDir;
};

TEST_F(ZarnaStatePersistenceTest, RestartSeesTheSameServices)
{
   Snapshot before;
   {
      auto state = Restart();
      std::string id;
      for (int i = 0; i < 4; i++) {
         std::string group = "g" + std::to_string(i);
         std::optional<int64_t> port;
         if (i % 2 == 1) {
            port = 8440 + i;
         }
         ASSERT_EQ(state->InsertAttestdInfo(Address("att" + std::to_string(i) + ".test", port),
                                            ValidChain(), group, id),
                   ServiceResult::Ok);
         ASSERT_EQ(state->InsertZarndInfo(Address("kms" + std::to_string(i) + ".test", port),
                                          ValidChain(), group, id),
                   ServiceResult::Ok);
      }
      ASSERT_EQ(state->DeleteZarndInfo(id), ServiceResult::Ok);
      before = Take(*state);
      state->Shutdown();
   }
   ASSERT_EQ(before.attestd.size(), 4u);
   ASSERT_EQ(before.zarnd.size(), 3u);

   auto state = Restart();
   EXPECT_EQ(Take(*state), before);
   // The loaded services are what the firewall is opened for.
   EXPECT_EQ(harness.firewall->Allowed(),
             harness.firewall->AddressesOf(ZarnaTesting::ConfiguredHostnames(*state)));
   // ...and the same rules hold for them as for new ones.
   std::string id;
   EXPECT_EQ(state->InsertAttestdInfo(Address("att1.test", 8441), ValidChain(), "new", id),
             ServiceResult::AlreadyExists);
   EXPECT_EQ(state->InsertZarndInfo(Address("other.test"), ValidChain(), "g0", id),
             ServiceResult::GroupAlreadyServed);
}

TEST_F(ZarnaStatePersistenceTest, RefusedWritesLeaveRunningAndRestartedAgentAgreeing)
{
   std::shared_ptr<FlakyBackend> flaky;
   auto state = Restart(&flaky);
   std::string kept;
   ASSERT_EQ(state->InsertAttestdInfo(Address("att.test"), ValidChain(), "g1", kept),
             ServiceResult::Ok);
   ASSERT_TRUE(state->AddTokenForGroup("g1", "t", nullptr));

   flaky->failNextWrite = true;
   std::string id;
   EXPECT_EQ(state->InsertZarndInfo(Address("kms.test"), ValidChain(), "g1", id),
             ServiceResult::ConfigStoreFailure);
   flaky->failNextWrite = true;
   EXPECT_EQ(state->DeleteAttestdInfo(kept), ServiceResult::ConfigStoreFailure);
   EXPECT_EQ(state->GetNumTokens(), 1);

   Snapshot running = Take(*state);
   auto restarted = Restart();
   EXPECT_EQ(Take(*restarted), running);
   EXPECT_EQ(running.attestd.size(), 1u);
   EXPECT_TRUE(running.zarnd.empty());
}

} // namespace
