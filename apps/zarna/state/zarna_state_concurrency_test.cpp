// Many callers at once: inserts, deletes, listings, lookups, token changes and
// scheduled work. Run under ThreadSanitizer to catch unguarded state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

using Zarna::ServiceResult;
using Zarna::ZarnaState;
using ZarnaTesting::Address;
using ZarnaTesting::ValidChain;

TEST(ZarnaStateConcurrencyTest, ParallelChangesKeepTheInvariants)
{
   HostlibTesting::LogCapture log(125);
   ZarnaTesting::StateHarness harness;
   harness.config->GetSettings().SetInt("attestationDelaySec", 1);
   auto state = harness.Start();

   constexpr int kWriters = 3;
   constexpr int kRounds = 25;
   std::atomic<bool> stop{false};
   std::vector<std::thread> threads;

   for (int w = 0; w < kWriters; w++) {
      threads.emplace_back([&, w]() {
         for (int r = 0; r < kRounds; r++) {
            std::string group = "g" + std::to_string(w) + "-" + std::to_string(r % 3);
            // Shared hostnames across writers exercise the sharing rule.
            std::string host = "h" + std::to_string(r % 4) + ".test";
            std::string a, z;
            ServiceResult ra =
                state->InsertAttestdInfo(Address(host, 1000 + w * 100 + r), ValidChain(), group, a);
            ServiceResult rz =
                state->InsertZarndInfo(Address(host, 2000 + w * 100 + r), ValidChain(), group, z);
            if (ra == ServiceResult::Ok && r % 2 == 0) {
               EXPECT_EQ(state->DeleteAttestdInfo(a), ServiceResult::Ok);
            }
            if (rz == ServiceResult::Ok && r % 3 != 0) {
               EXPECT_EQ(state->DeleteZarndInfo(z), ServiceResult::Ok);
            }
         }
      });
   }
   threads.emplace_back([&]() {
      while (!stop) {
         for (const auto &s : state->ListAttestdServices(std::nullopt)) {
            std::shared_ptr<const Zarna::ServiceInfo> info;
            ServiceResult result = state->GetAttestdService(s->instanceId, info);
            EXPECT_TRUE(result == ServiceResult::Ok || result == ServiceResult::NotFound);
         }
         std::string hostname;
         uint32_t port;
         std::vector<std::string> certs;
         state->GetZarndInfo("g0-0", hostname, port, certs);
      }
   });
   threads.emplace_back([&]() {
      int i = 0;
      while (!stop) {
         Ruvo::Data::ErrorValuePtr error;
         std::vector<Zarna::ZarnaStateInfo> groups;
         state->GetGroups(error, groups);
         for (const auto &g : groups) {
            if (i++ % 2 == 0) {
               state->AddTokenForGroup(g.group, "token", nullptr);
            } else {
               state->DeleteTokenForGroup(g.group);
            }
         }
         std::string picked;
         MXUser::ReadLockGuard guard(state->StateLock());
         state->PickGroup(picked);
      }
   });
   threads.emplace_back([&]() {
      while (!stop) {
         harness.clock->Advance(300000000); // 5 minutes: state logs and attestations fire
         state->LogState();
         std::this_thread::yield();
      }
   });

   for (int w = 0; w < kWriters; w++) {
      threads[static_cast<size_t>(w)].join();
   }
   stop = true;
   for (size_t t = kWriters; t < threads.size(); t++) {
      threads[t].join();
   }
   harness.pool->WaitForIdle(std::chrono::seconds(10));

   // Tokens counted right, firewall equal to the configured hosts, store equal to memory.
   Ruvo::Data::ErrorValuePtr error;
   std::vector<Zarna::ZarnaStateInfo> groups;
   state->GetGroups(error, groups);
   int32_t withToken = 0;
   for (const auto &g : groups) {
      withToken += g.token.empty() ? 0 : 1;
   }
   EXPECT_EQ(state->GetNumTokens(), withToken);
   EXPECT_EQ(harness.firewall->Allowed(),
             harness.firewall->AddressesOf(ZarnaTesting::ConfiguredHostnames(*state)));
   auto reloaded = ZarnaState::Create(harness.Options());
   using ZarnaTesting::Ids;
   EXPECT_EQ(Ids(reloaded->ListAttestdServices(std::nullopt)),
             Ids(state->ListAttestdServices(std::nullopt)));
   EXPECT_EQ(Ids(reloaded->ListZarndServices(std::nullopt)),
             Ids(state->ListZarndServices(std::nullopt)));
   state->Shutdown();
}

} // namespace
