// What a test of the trust state stands on: a store backend, a manual clock
// driving a small thread pool, a fake firewall, a configuration, and a valid
// certificate chain.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

} // namespace ZarnaTesting
