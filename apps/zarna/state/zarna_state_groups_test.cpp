// Groups, tokens, the preemptive attestation schedule and the periodic state log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

using Zarna::ServiceResult;
using Zarna::ZarnaState;

constexpr const char *kScheduleOnInsert =
    "Scheduling a preemptive attestation while inserting an attestation service";
constexpr const char *kScheduleOnDelete =
    "Scheduling a preemptive attestation while deleting an attestation service";

class ZarnaStateGroupsTest : public ::testing::Test {
protected:
   ZarnaTesting::StateHarness harness;
   HostlibTesting::LogCapture log;
   std::shared_ptr<ZarnaState> state = harness.Start();

   void AddGroups(std::initializer_list<const char *> groups)
   {
      MXUser::WriteLockGuard guard(state->StateLock());
      for (const char *group : groups) {
         state->AddGroup(group);
      }
   }
   bool Pick(std::string &group)
   {
      MXUser::ReadLockGuard guard(state->StateLock());
      return state->PickGroup(group);
   }
   std::string InsertAttestd(const std::string &host, const std::string &group)
   {
      return ZarnaTesting::InsertAttestd(*state, host, group);
   }
};

TEST_F(ZarnaStateGroupsTest, TokensAreCountedPerGroup)
{
   Ruvo::Data::ErrorValuePtr error;
   std::vector<Zarna::ZarnaStateInfo> groups;
   state->GetGroups(error, groups);
   EXPECT_TRUE(groups.empty());
   EXPECT_TRUE(log.Has(110, "Veritor Components not configured."));
   ASSERT_NE(error, nullptr);
   EXPECT_EQ(error->GetName(), Ruvo::Data::StdErrors::kError);
   ASSERT_EQ(error->messages().size(), 1u);
   EXPECT_EQ(error->messages()[0].GetId(), "com.talvor.brim.trusted_infrastructure.veritor_services.not_configured");
   EXPECT_EQ(error->messages()[0].GetDefaultMessage(), "Incomplete or missing Veritor Components configuration.");

   AddGroups({"g1", "g2", "g1"});
   EXPECT_TRUE(log.Has(130, "There is already an instance of group g1 in the groupInfo"));

   EXPECT_FALSE(state->AddTokenForGroup("nope", "t", nullptr));
   EXPECT_TRUE(log.Has(110, "Did not find group nope in list; will not insert token"));
   EXPECT_EQ(state->GetNumTokens(), 0);

   auto item = harness.pool->EnqueueAfter(3600000000ULL, [] {});
   EXPECT_TRUE(state->AddTokenForGroup("g1", "t1", item));
   EXPECT_TRUE(log.Has(130, "Adding token for group g1 to groupInfo"));
   EXPECT_TRUE(state->AddTokenForGroup("g1", "t2", nullptr));
   EXPECT_TRUE(log.Has(130, "Updating token for group g1 in groupInfo"));
   EXPECT_EQ(state->GetNumTokens(), 1);
   EXPECT_TRUE(state->AddTokenForGroup("g2", "t3", nullptr));
   EXPECT_EQ(state->GetNumTokens(), 2);

   error.reset();
   state->GetGroups(error, groups);
   EXPECT_EQ(error, nullptr);
   ASSERT_EQ(groups.size(), 2u);
   EXPECT_EQ(groups[0].group, "g1");
   EXPECT_EQ(groups[0].token, "t2");
   EXPECT_EQ(groups[0].refreshItem, nullptr);
   // Releasing the reference does not cancel the refresh.
   EXPECT_FALSE(item->IsCancelled());

   state->DeleteTokenForGroup("g1");
   EXPECT_TRUE(log.Has(130, "Deleting token for group g1"));
   state->DeleteTokenForGroup("g1");
   EXPECT_EQ(state->GetNumTokens(), 1);
   state->DeleteTokenForGroup("nope");
   EXPECT_TRUE(log.Has(125, "Did not find group nope in list; could not delete token"));
}

TEST_F(ZarnaStateGroupsTest, PickGroupChoosesOnlyTokenlessGroups)
{
   std::string group = "untouched";
   EXPECT_FALSE(Pick(group));
   EXPECT_EQ(group, "untouched");
   EXPECT_TRUE(log.Has(130, "Did not find a group for which a token can be added."));

   AddGroups({"g1", "g2", "g3", "g4"});
   ASSERT_TRUE(state->AddTokenForGroup("g2", "t", nullptr));
   std::map<std::string, int> seen;
   for (int i = 0; i < 200; i++) {
      ASSERT_TRUE(Pick(group));
      seen[group]++;
   }
   EXPECT_EQ(seen.count("g2"), 0u);
   EXPECT_EQ(seen.size(), 3u); // every token-less group comes up
   EXPECT_TRUE(log.Contains("Picked group g"));

   for (const char *g : {"g1", "g3", "g4"}) {
      ASSERT_TRUE(state->AddTokenForGroup(g, "t", nullptr));
   }
   group = "untouched";
   EXPECT_FALSE(Pick(group));
   EXPECT_EQ(group, "untouched");
}

TEST_F(ZarnaStateGroupsTest, OnePreemptiveAttestationAtATime)
{
   EXPECT_EQ(state->GetAttestationDelaySec(), 20);
   EXPECT_TRUE(log.Has(125, "Attestation delay after config change: 20 seconds"));

   std::string a = InsertAttestd("a.test", "g1");
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   InsertAttestd("b.test", "g2");
   std::string id = ZarnaTesting::InsertZarnd(*state, "k.test", "g3");
   EXPECT_EQ(log.Count(kScheduleOnInsert), 1u);

   harness.Advance(19);
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   harness.Advance(1);
   EXPECT_FALSE(state->HasPendingAttemptAttestation());

   // Deleting schedules again; a second delete before it ran does not.
   EXPECT_EQ(state->DeleteAttestdInfo(a), ServiceResult::Ok);
   EXPECT_EQ(log.Count(kScheduleOnDelete), 1u);
   auto second = state->ListAttestdServices(std::nullopt);
   ASSERT_EQ(second.size(), 1u);
   EXPECT_EQ(state->DeleteAttestdInfo(second[0]->instanceId), ServiceResult::Ok);
   EXPECT_EQ(log.Count(kScheduleOnDelete), 1u);
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   harness.Advance(20);
   EXPECT_FALSE(state->HasPendingAttemptAttestation());

   // Key provider services never schedule one.
   ASSERT_EQ(state->DeleteZarndInfo(id), ServiceResult::Ok);
   EXPECT_FALSE(state->HasPendingAttemptAttestation());
}

TEST_F(ZarnaStateGroupsTest, NoPreemptiveAttestationWhileATokenIsHeld)
{
   harness.config->GetSettings().SetInt("attestationDelaySec", 5);
   state->LoadConfig();
   EXPECT_TRUE(log.Has(125, "Attestation delay after config change: 5 seconds"));

   AddGroups({"held"});
   ASSERT_TRUE(state->AddTokenForGroup("held", "t", nullptr));
   std::string a = InsertAttestd("a.test", "g1");
   EXPECT_FALSE(state->HasPendingAttemptAttestation());
   EXPECT_EQ(state->DeleteAttestdInfo(a), ServiceResult::Ok);
   EXPECT_FALSE(state->HasPendingAttemptAttestation());

   // Without a token the next change schedules one, after the configured delay.
   state->DeleteTokenForGroup("held");
   InsertAttestd("b.test", "g2");
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   harness.Advance(4);
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   harness.Advance(1);
   EXPECT_FALSE(state->HasPendingAttemptAttestation());

   // Deleting the service of the group that holds the only token drops the
   // token, so an attestation is scheduled for the groups left.
   std::string d = InsertAttestd("d.test", "gd");
   harness.Advance(5);
   ASSERT_TRUE(state->AddTokenForGroup("gd", "t", nullptr));
   EXPECT_EQ(state->DeleteAttestdInfo(d), ServiceResult::Ok);
   EXPECT_EQ(state->GetNumTokens(), 0);
   EXPECT_TRUE(state->HasPendingAttemptAttestation());
   EXPECT_EQ(log.Count(kScheduleOnDelete), 1u);
}

TEST_F(ZarnaStateGroupsTest, StateIsLoggedEveryTenMinutes)
{
   InsertAttestd("a.test", "g1");
   ZarnaTesting::InsertZarnd(*state, "k.test", "g2", 8443);
   ASSERT_TRUE(state->AddTokenForGroup("g1", "t", nullptr));
   EXPECT_TRUE(state->HasPendingLogState());

   std::string file = ::testing::TempDir() + "zarna-state-log-" + std::to_string(getpid());
   ASSERT_TRUE(Log_SetFile(file));
   harness.Advance(599);
   EXPECT_FALSE(log.Contains("STATE:"));
   harness.Advance(1);
   Log_SetFile("");
   std::ifstream in(file);
   std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   std::remove(file.c_str());
   // Each run is one operation of its own.
   EXPECT_NE(text.find("[opID=LogState-"), std::string::npos);
   EXPECT_TRUE(log.Has(125, "STATE: Group: g1; Hostname: a.test; Port: 443; Token: 1"));
   // A group with only a key provider service has no attestation host.
   EXPECT_TRUE(log.Has(125, "STATE: Group: g2; Hostname: ; Port: 0; Token: 0"));
   EXPECT_TRUE(log.Has(125, "STATE: Total number of tokens: 1"));
   EXPECT_TRUE(state->HasPendingLogState());

   log.Clear();
   harness.Advance(600);
   EXPECT_EQ(log.Count("STATE: Total number of tokens"), 1u);

   state->Shutdown();
   log.Clear();
   harness.Advance(1200);
   EXPECT_FALSE(log.Contains("STATE:"));
}

TEST(ZarnaStateLifetimeTest, PendingWorkOutlivingTheStateDoesNothing)
{
   ZarnaTesting::StateHarness harness;
   HostlibTesting::LogCapture log;
   {
      ZarnaTesting::InsertAttestd(*harness.Start(), "a.test", "g1");
   }
   log.Clear();
   harness.Advance(3600);
   EXPECT_FALSE(log.Contains("STATE:"));
}

} // namespace
