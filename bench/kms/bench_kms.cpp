// Key operations per second through the agent's Unix socket (caller -> agent ->
// zarnd over a new TLS connection -> agent -> caller) with 1, 4 and 16 callers,
// beside the TLS handshakes per second that `openssl s_time -new` makes to the
// same zarnd in the same run. Each operation costs one handshake, so the
// handshake rate is the ceiling. Every process it starts is stopped at the end.
//
//   bench_kms [SECONDS]        (ZARNA_SOURCE_DIR must name the source tree)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "api/key_operation.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "tests/agent/agent_harness.h"
#include "tests/attest/tpm_fixture.h"
#include "tests/kms/zarnd_process.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;

struct Sample {
   double perSecond = 0;
   double p50Ms = 0;
   double p99Ms = 0;
   size_t failed = 0;
};

double Percentile(std::vector<double> &values, double p)
{
   if (values.empty()) {
      return 0;
   }
   std::sort(values.begin(), values.end());
   const size_t at =
       std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
   return values[at];
}

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
   std::vector<std::vector<double>> latencies(static_cast<size_t>(callers));
   std::atomic<size_t> failed{0};
   std::atomic<size_t> next{0};
   const auto start = Clock::now();
   const auto end = start + std::chrono::duration<double>(seconds);
   std::vector<std::thread> threads;
   for (int t = 0; t < callers; ++t) {
      threads.emplace_back([&, t] {
         while (Clock::now() < end) {
            const auto sent = Clock::now();
            if (!DecryptOnce(socket, wrapped[next++ % wrapped.size()])) {
               ++failed;
               continue;
            }
            latencies[static_cast<size_t>(t)].push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
         }
      });
   }
   for (auto &thread : threads) {
      thread.join();
   }
   const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
   std::vector<double> all;
   for (const auto &l : latencies) {
      all.insert(all.end(), l.begin(), l.end());
   }
   Sample sample;
   sample.perSecond = static_cast<double>(all.size()) / elapsed;
   sample.failed = failed;
   sample.p50Ms = Percentile(all, 0.50);
   sample.p99Ms = Percentile(all, 0.99);
   return sample;
}

// New TLS sessions per second from `openssl s_time -new`.
double HandshakesPerSecond(int port, const std::string &caFile, int seconds)
{
   const std::string command = "openssl s_time -connect 127.0.0.1:" + std::to_string(port) +
                               " -new -time " + std::to_string(seconds) + " -CAfile " + caFile +
                               " 2>&1";
   FILE *pipe = popen(command.c_str(), "r");
   if (pipe == nullptr) {
      return 0;
   }
   std::string out;
   char chunk[512];
   size_t n;
   while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
      out.append(chunk, n);
   }
   pclose(pipe);
   std::smatch m;
   if (std::regex_search(out, m, std::regex("([0-9]+) connections in ([0-9]+) real seconds")) &&
       std::stod(m[2]) > 0) {
      return std::stod(m[1]) / std::stod(m[2]);
   }
   fprintf(stderr, "openssl s_time gave no count:\n%s\n", out.c_str());
   return 0;
}

} // namespace

int main(int argc, char **argv)
{
   const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
   if (!(seconds >= 1 && seconds <= 600)) {
      fprintf(stderr, "usage: bench_kms [SECONDS between 1 and 600]\n");
      return 2;
   }
   if (!AttestTesting::HaveSwtpm()) {
      fprintf(stderr, "swtpm is not installed (scripts/bootstrap)\n");
      return 1;
   }
   AttestTesting::SwtpmInstance tpm;
   AttestTesting::AttestdProcess attestd;
   if (!tpm.Start() || !attestd.Start({"--ek-ca", tpm.EkCaBundle()}, {"--grant", "disk"})) {
      fprintf(stderr, "swtpm or attestd did not start\n%s%s", tpm.Log().c_str(),
              attestd.Log().c_str());
      return 1;
   }
   ZarnaTesting::ZarndProcess zarnd("bench", attestd.SigningPublicKeyFile(),
                                    {"--provider", "disk"});
   ZarnaTesting::AgentHarness h;
   if (zarnd.Port() == 0) {
      fprintf(stderr, "zarnd did not start\n%s", zarnd.Log().c_str());
      return 1;
   }
   ZarnaTesting::WriteTextFile(h.Dir().File("attestd-ca.pem"),
                               ZarnaTesting::JoinPems(attestd.TrustedCas()));
   h.WriteConfig("<tpm><tcti>" + tpm.Tcti() +
                     "</tcti></tpm><attestationDelaySec>3600</attestationDelaySec>\n",
                 "info");
   if (!h.StartEmulator() || !h.StartAgent()) {
      fprintf(stderr, "the agent did not start\n%s", h.Agent().StderrText().c_str());
      return 1;
   }
   const std::string tcp = "127.0.0.1:" + std::to_string(h.Port());
   if (h.Zarnactl({"--tcp", tcp, "attestation-services", "create", "--host", "127.0.0.1", "--port",
                   std::to_string(attestd.Port()), "--group", "g1", "--ca-file",
                   h.Dir().File("attestd-ca.pem")})
               .exitCode != 0 ||
       h.Zarnactl({"--tcp", tcp, "key-provider-services", "create", "--host", "127.0.0.1", "--port",
                   std::to_string(zarnd.Port()), "--group", "g1", "--ca-file", zarnd.CaFile()})
               .exitCode != 0) {
      fprintf(stderr, "the trust group could not be configured\n");
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

   const double handshakes =
       HandshakesPerSecond(zarnd.Port(), zarnd.CaFile(), static_cast<int>(seconds));
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
