// What a test of the trust state stands on: a store backend, a manual clock
// driving a small thread pool, a fake firewall, a configuration, and a valid
// certificate chain.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/zarna/state/testing/fake_firewall.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/configstore/config_store.h"
#include "runtime/configstore/memory_backend.h"
#include "runtime/tirel/clock.h"
#include "runtime/tirel/config.h"
#include "runtime/tirel/thread_pool.h"
#include "tests/fixtures/cert_factory.h"

namespace ZarnaTesting {

// Root, intermediate, leaf: a chain the state accepts. Made once per process.
inline const std::vector<std::string> &ValidChainPems()
{
   static const std::vector<std::string> pems = TestPki::Make("peer.test").ChainPems();
   return pems;
}

inline std::shared_ptr<const Zarna::X509CertChain> ValidChain()
{
   return std::make_shared<const Zarna::X509CertChain>(Zarna::X509CertChain{ValidChainPems()});
}

inline std::shared_ptr<const Zarna::NetworkAddress> Address(const std::string &hostname,
                                                            std::optional<int64_t> port = {})
{
   return std::make_shared<const Zarna::NetworkAddress>(Zarna::NetworkAddress{hostname, port});
}

struct StateHarness {
   std::shared_ptr<BrimConfigStore::ConfigStoreBackend> backend =
       std::make_shared<BrimConfigStore::MemoryBackend>();
   std::shared_ptr<Tirel::System::ManualClock> clock =
       std::make_shared<Tirel::System::ManualClock>();
   std::shared_ptr<Tirel::System::ThreadPool> pool =
       std::make_shared<Tirel::System::ThreadPool>(2, clock);
   std::shared_ptr<FakeFirewall> firewall = std::make_shared<FakeFirewall>();
   std::shared_ptr<Tirel::Service::Config> config = std::make_shared<Tirel::Service::Config>();

   BrimConfigStore::MemoryBackend &Memory()
   {
      return static_cast<BrimConfigStore::MemoryBackend &>(*backend);
   }

   Zarna::ZarnaStateOptions Options()
   {
      Zarna::ZarnaStateOptions options;
      options.pool = pool;
      options.config = config;
      auto storeBackend = backend;
      options.storeProvider = [storeBackend]() {
         return std::make_shared<BrimConfigStore::ConfigStore>(storeBackend,
                                                               BrimConfigStore::kGlobalNamespace);
      };
      options.firewall = firewall;
      options.randomSeed = 42;
      return options;
   }

   std::shared_ptr<Zarna::ZarnaState> Start()
   {
      auto state = Zarna::ZarnaState::Create(Options());
      state->Init();
      return state;
   }

   // Moves the clock and lets every item that became due run.
   void Advance(uint64_t seconds)
   {
      clock->Advance(seconds * 1000000);
      pool->WaitForIdle(std::chrono::seconds(10));
   }
};

// Every hostname configured in either table.
inline std::vector<std::string> ConfiguredHostnames(Zarna::ZarnaState &state)
{
   std::vector<std::string> hostnames;
   for (const auto &s : state.ListAttestdServices(std::nullopt)) {
      hostnames.push_back(s->address->hostname);
   }
   for (const auto &s : state.ListZarndServices(std::nullopt)) {
      hostnames.push_back(s->address->hostname);
   }
   return hostnames;
}

// Inserts a service that must be accepted; its instance id.
inline std::string InsertAttestd(Zarna::ZarnaState &state, const std::string &host, const std::string &group,
                                 std::optional<int64_t> port = {})
{
   std::string id;
   EXPECT_EQ(state.InsertAttestdInfo(Address(host, port), ValidChain(), group, id), Zarna::ServiceResult::Ok)
       << host << " in " << group;
   return id;
}
inline std::string InsertZarnd(Zarna::ZarnaState &state, const std::string &host, const std::string &group,
                               std::optional<int64_t> port = {})
{
   std::string id;
   EXPECT_EQ(state.InsertZarndInfo(Address(host, port), ValidChain(), group, id), Zarna::ServiceResult::Ok)
       << host << " in " << group;
   return id;
}

inline std::vector<Zarna::ZarnaStateInfo> Groups(Zarna::ZarnaState &state)
{
   Ruvo::Data::ErrorValuePtr error;
   std::vector<Zarna::ZarnaStateInfo> groups;
   state.GetGroups(error, groups);
   return groups;
}
inline std::vector<std::string> GroupNames(Zarna::ZarnaState &state)
{
   std::vector<std::string> names;
   for (const auto &g : Groups(state)) {
      names.push_back(g.group);
   }
   return names;
}
// The group's token; "<no group>" for a group the state does not have.
inline std::string TokenOf(Zarna::ZarnaState &state, const std::string &group)
{
   for (const auto &g : Groups(state)) {
      if (g.group == group) {
         return g.token;
      }
   }
   return "<no group>";
}

inline std::vector<std::string> Ids(const Zarna::ZarnaState::ServiceList &list)
{
   std::vector<std::string> ids;
   for (const auto &s : list) {
      ids.push_back(s->instanceId);
   }
   return ids;
}

} // namespace ZarnaTesting
