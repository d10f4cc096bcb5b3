// Key operations per second through the agent's Unix socket (caller -> agent ->
// zarnd over a new TLS connection -> agent -> caller) with 1, 4 and 16 callers,
// beside the TLS handshakes per second that `openssl s_time -new` makes to the
// same zarnd in the same run. Each operation costs one handshake, so the
// handshake rate is the ceiling. Every process it starts is stopped at the end.
//
//   bench_kms [SECONDS]        (ZARNA_SOURCE_DIR must name the source tree)
#include <atomic>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "api/key_operation.h"
#include "bench/common/load.h"
#include "bench/common/system.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "tests/kms/zarnd_process.h"

namespace {

namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
using ZarnaBench::Sample;

// One unwrap through the agent; false when it failed.
bool DecryptOnce(const std::string &socket, const std::string &wrapped)
{
   boost::asio::io_context io;
   KeyOp::AsyncServiceStub stub(
       Ruvo::Transport::PicoHttp::CreateLocalClientProvider(io, socket, nullptr));
   bool ok = false;
   stub.Decrypt(
       "disk", wrapped, nullptr,
       Ruvo::AsyncResult<KeyOp::DecryptResult>([&](Ruvo::Outcome<KeyOp::DecryptResult> &&o) {
          ok = !o.IsError() && o.value->key.Size() == 44;
       }));
   io.run();
   return ok;
}

Sample Drive(const std::string &socket, const std::vector<std::string> &wrapped, int callers,
             double seconds)
{
   std::atomic<size_t> next{0};
   return ZarnaBench::RunLoad(callers, seconds, [&]() -> ZarnaBench::Operation {
      return [&] { return DecryptOnce(socket, wrapped[next++ % wrapped.size()]); };
   });
}

} // namespace

int main(int argc, char **argv)
{
   double seconds = 0;
   if (!ZarnaBench::ReadSeconds(argc, argv, "bench_kms", seconds)) {
      return 2;
   }
   AttestTesting::SwtpmInstance tpm;
   AttestTesting::AttestdProcess attestd;
   if (!ZarnaBench::StartAttestation(tpm, attestd, "disk")) {
      return 1;
   }
   ZarnaTesting::ZarndProcess zarnd("bench", attestd.SigningPublicKeyFile(),
                                    {"--provider", "disk"});
   ZarnaTesting::AgentHarness h;
   if (zarnd.Port() == 0) {
      fprintf(stderr, "zarnd did not start\n%s", zarnd.Log().c_str());
      return 1;
   }
   h.WriteConfig("<tpm><tcti>" + tpm.Tcti() +
                     "</tcti></tpm><attestationDelaySec>3600</attestationDelaySec>\n",
                 "info");
   if (!h.StartEmulator() || !h.StartAgent()) {
      fprintf(stderr, "the agent did not start\n%s", h.Agent().StderrText().c_str());
      return 1;
   }
   if (!ZarnaBench::ConfigureTrustGroup(h, attestd, zarnd.Port(), zarnd.CaFile())) {
      return 1;
   }
   // Keys wrapped through the agent itself; the first call attests.
   std::vector<std::string> wrapped;
   for (int i = 0; i < 16; ++i) {
      auto run = h.Zarnactl({"--socket", h.SocketPath(), "key", "generate", "--provider", "disk"});
      std::smatch m;
      if (run.exitCode != 0 ||
          !std::regex_search(run.output, m, std::regex("ciphertext: ([^\n]+)"))) {
         fprintf(stderr, "generate failed: %s\n", run.output.c_str());
         return 1;
      }
      wrapped.push_back(m[1]);
   }
   Drive(h.SocketPath(), wrapped, 4, 1); // warm-up

   const double handshakes = ZarnaBench::SessionsPerSecond(zarnd.Port(), zarnd.CaFile(),
                                                           static_cast<int>(seconds), "-new");
   printf("openssl s_time -new to zarnd: %.1f handshakes/s\n", handshakes);
   printf("%-8s %10s %10s %10s %8s %14s\n", "callers", "ops/s", "p50 ms", "p99 ms", "failed",
          "vs handshakes");
   bool ok = handshakes > 0;
   for (int callers : {1, 4, 16}) {
      Sample s = Drive(h.SocketPath(), wrapped, callers, seconds);
      const double ratio = handshakes > 0 ? s.perSecond / handshakes : 0;
      printf("%-8d %10.1f %10.2f %10.2f %8zu %14.2f\n", callers, s.perSecond, s.p50Ms, s.p99Ms,
             s.failed, ratio);
      ok = ok && s.failed == 0;
   }
   h.StopAgent();
   return ok ? 0 : 1;
}
