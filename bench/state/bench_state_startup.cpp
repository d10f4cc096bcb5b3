// Start-up and stop of the trust state with many stored services, against the
// real firewall backends: the JSON state file, and nftables in a private network
// namespace (when the process may make one). The baseline, measured in the same
// run, is the per-host way (one firewall change per host) on fewer hosts.
//
//   bench_state_startup [services]      (default 5000)
//
// Prints times and the ratios that matter: time per service at N against time
// per service at N/10 (about 1 means linear), and against the per-host way.
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "apps/zarna/firewall/firewall.h"
#include "apps/zarna/state/testing/state_harness.h"
#include "runtime/hostctl/file_backend.h"
#include "runtime/hostctl/firewall_backend.h"
#include "runtime/hostctl/nftables_backend.h"
#include "runtime/hostlib/log.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
   return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string Host(int i)
{
   return "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
          std::to_string(i % 256);
}

struct Timing {
   double start = 0;
   double stop = 0;
   size_t allowed = 0; // addresses allowed once started
};

size_t AllowedNow()
{
   auto state = HykCtl::System::GetFirewallBackend()->QueryRuleset(Zarna::kFirewallRulesetId);
   return state.ipv4.size() + state.ipv6.size();
}

// A store with `count` services (key providers, and an attestation service for
// every tenth group), then a fresh state over it with the host firewall.
Timing StartAndStop(int count)
{
   ZarnaTesting::StateHarness harness;
   {
      auto filler = harness.Start(); // fake firewall: only the store is filled
      auto noChain = std::make_shared<const Zarna::X509CertChain>();
      std::string id;
      for (int i = 0; i < count; ++i) {
         std::string group = "g" + std::to_string(i);
         filler->InsertZarndInfo(ZarnaTesting::Address(Host(i)), noChain, group, id);
         if (i % 10 == 0) {
            filler->InsertAttestdInfo(ZarnaTesting::Address(Host(i), 8443), noChain, group, id);
         }
      }
   }
   Zarna::ZarnaStateOptions options = harness.Options();
   options.firewall = Zarna::MakeHostFirewall();
   auto state = Zarna::ZarnaState::Create(options);
   Timing timing;
   auto t0 = Clock::now();
   state->Init();
   timing.start = Seconds(t0);
   timing.allowed = AllowedNow();
   t0 = Clock::now();
   state->Shutdown();
   timing.stop = Seconds(t0);
   return timing;
}

// The per-host way: one change for every host, at start-up and at stop.
Timing PerHost(int count)
{
   std::vector<std::string> hosts;
   for (int i = 0; i < count; ++i) {
      hosts.push_back(Host(i));
   }
   Timing timing;
   auto t0 = Clock::now();
   Zarna::FirewallOpen(hosts);
   timing.start = Seconds(t0);
   t0 = Clock::now();
   Zarna::FirewallClose(hosts);
   timing.stop = Seconds(t0);
   return timing;
}

void Report(const char *backend, int count, const std::function<void()> &reset)
{
   const int small = count / 10;
   const int perHostCount = std::min(count / 25, 200);
   reset();
   Timing big = StartAndStop(count);
   reset();
   Timing tenth = StartAndStop(small);
   reset();
   Timing perHost = PerHost(perHostCount);
   auto perService = [](double seconds, int n) { return seconds / n * 1e6; };
   std::printf("%s backend\n", backend);
   std::printf("  %5d services: start %8.3f s, stop %8.3f s (%zu addresses allowed)\n", count,
               big.start, big.stop, big.allowed);
   std::printf("  %5d services: start %8.3f s, stop %8.3f s\n", small, tenth.start, tenth.stop);
   std::printf("  %5d hosts one change each (baseline): start %8.3f s, stop %8.3f s\n",
               perHostCount, perHost.start, perHost.stop);
   std::printf("  per service at %d / at %d: start %.2f, stop %.2f (1 = linear)\n", count, small,
               perService(big.start, count) / perService(tenth.start, small),
               perService(big.stop, count) / perService(tenth.stop, small));
   std::printf("  per service at %d / per host of the baseline: start %.4f, stop %.4f\n", count,
               perService(big.start, count) / perService(perHost.start, perHostCount),
               perService(big.stop, count) / perService(perHost.stop, perHostCount));
}

} // namespace

int main(int argc, char **argv)
{
   int count = argc > 1 ? std::atoi(argv[1]) : 5000;
   if (count < 100) {
      std::fprintf(stderr, "usage: %s [services >= 100]\n", argv[0]);
      return 2;
   }
   Log_SetOutputLevel(110);

   char pattern[] = "/tmp/zarna-bench-state-XXXXXX";
   if (mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      return 1;
   }
   std::string path = std::string(pattern) + "/firewall.json";
   Report("file", count, [&] {
      std::filesystem::remove(path);
      HykCtl::System::SetFirewallBackend(std::make_shared<HykCtl::System::FileBackend>(path));
   });
   std::filesystem::remove_all(pattern);

   if (unshare(CLONE_NEWNET) != 0) {
      std::printf("nftables backend: skipped (no private network namespace: %s)\n",
                  std::strerror(errno));
      return 0;
   }
   auto nft = std::make_shared<HykCtl::System::NftablesBackend>();
   Report("nftables", count, [&] {
      if (std::system("nft delete table inet trusted-infrastructure-zarna 2>/dev/null") == -1) {
         std::perror("nft");
      }
      HykCtl::System::SetFirewallBackend(nft);
   });
   return 0;
}
