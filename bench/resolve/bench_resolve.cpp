// Kernel key requests per second end to end (kernel emulator -> agent -> zarnd
// over TLS -> key cache) with 1, 4 and 16 requests in flight, with TLS session
// resumption and then against a zarnd that refuses it, beside the connections per
// second that `openssl s_time -new` (full handshakes) and `-reuse` (resumed) make
// to the same zarnd in the same run. Every process it starts is stopped when it ends.
//
//   bench_resolve [SECONDS]        (ZARNA_SOURCE_DIR must name the source tree)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/hyperkern/emulator_client.h"
#include "runtime/keylocator/key_locator.h"
#include "tests/agent/agent_harness.h"
#include "tests/attest/tpm_fixture.h"
#include "tests/resolve/zarnd_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

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

Hyperkern::Bytes Message(const ResolveTesting::TestKey &key)
{
   std::string text;
   KeyLocator_ExportIndirect(key.provider.c_str(), key.wrapped.c_str(), &text);
   Hyperkern::Bytes bytes(text.begin(), text.end());
   bytes.push_back(0);
   return bytes;
}

// `inFlight` control connections, each with one request outstanding at a time.
Sample Drive(const std::string &channel, const std::vector<Hyperkern::Bytes> &messages,
             int inFlight, double seconds, uint32_t expected = 0)
{
   std::vector<std::vector<double>> latencies(static_cast<size_t>(inFlight));
   std::atomic<size_t> failed{0};
   std::atomic<size_t> next{0};
   const auto end = Clock::now() + std::chrono::duration<double>(seconds);
   const auto start = Clock::now();
   std::vector<std::thread> threads;
   for (int t = 0; t < inFlight; ++t) {
      threads.emplace_back([&, t] {
         std::string error;
         auto client = Hyperkern::EmulatorClient::Connect(channel, "bench", &error);
         if (!client) {
            ++failed;
            return;
         }
         while (Clock::now() < end) {
            const auto &message = messages[next++ % messages.size()];
            Hyperkern::Proto::QueueMsgAnswer answer;
            const auto sent = Clock::now();
            if (client->QueueMessage(message, 30000, answer, &error) != 0 || answer.ended == 0 ||
                answer.replyStatus != expected) {
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

// TLS connections per second from `openssl s_time` (mode "-new" or "-reuse"),
// from its count of connections over real seconds. TLS 1.2, as the agent speaks:
// under 1.3 s_time never reads the ticket, so "-reuse" would resume nothing.
double HandshakesPerSecond(int port, const std::string &caFile, int seconds,
                           const std::string &mode = "-new")
{
   const std::string command = "openssl s_time -connect 127.0.0.1:" + std::to_string(port) + " " +
                               mode + " -tls1_2 -time " + std::to_string(seconds) + " -CAfile " +
                               caFile + " 2>&1";
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
      fprintf(stderr, "usage: bench_resolve [SECONDS between 1 and 600]\n");
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
   ResolveTesting::Zarnd zarnd(attestd.SigningPublicKeyFile());
   std::vector<Hyperkern::Bytes> messages;
   for (int i = 0; i < 64; ++i) {
      messages.push_back(Message(zarnd.Wrap("disk", 32)));
   }
   ZarnaTesting::AgentHarness h;
   if (!zarnd.Start()) {
      fprintf(stderr, "zarnd did not start\n%s", zarnd.Log().c_str());
      return 1;
   }
   ZarnaTesting::WriteTextFile(h.Dir().File("attestd-ca.pem"),
                               ZarnaTesting::JoinPems(attestd.TrustedCas()));
   h.WriteConfig("<tpm><tcti>" + tpm.Tcti() +
                     "</tcti></tpm><attestationDelaySec>3600</attestationDelaySec>\n"
                     "<keycache><backend>emulator</backend></keycache>\n",
                 "info");
   if (!h.StartEmulator()) {
      fprintf(stderr, "the kernel emulator did not start\n");
      return 1;
   }
   if (!h.StartAgent()) {
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
   // The first request attests; it and the first round of keys are warm-up.
   Sample warm = Drive(h.ChannelPath(), messages, 4, 2);
   if (warm.perSecond == 0) {
      fprintf(stderr, "no request succeeded\n%s", h.Agent().StderrText().c_str());
      return 1;
   }

   const double handshakes =
       HandshakesPerSecond(zarnd.Port(), zarnd.CaFile(), static_cast<int>(seconds));
   const double reused =
       HandshakesPerSecond(zarnd.Port(), zarnd.CaFile(), static_cast<int>(seconds), "-reuse");
   printf("openssl s_time -new to zarnd: %.1f handshakes/s\n", handshakes);
   printf("openssl s_time -reuse to zarnd: %.1f connections/s\n", reused);
   bool ok = handshakes > 0 && reused > 0;
   // The kernel channel alone: a locator refused at import never leaves the agent.
   const std::string refused = "keyloc:1:direct:bench";
   const std::vector<Hyperkern::Bytes> channelOnly{
       Hyperkern::Bytes(refused.c_str(), refused.c_str() + refused.size() + 1)};
   for (int inFlight : {1, 16}) {
      Sample s = Drive(h.ChannelPath(), channelOnly, inFlight, std::min(seconds, 3.0), 0xBAD0003);
      printf("channel only, %d in flight: %.1f requests/s, p50 %.2f ms, p99 %.2f ms\n", inFlight,
             s.perSecond, s.p50Ms, s.p99Ms);
   }
   auto table = [&](const char *title) {
      printf("%s\n%-10s %12s %10s %10s %8s %10s %10s %10s\n", title, "in flight", "requests/s",
             "p50 ms", "p99 ms", "failed", "vs -new", "vs -reuse", "p99/p50");
      for (int inFlight : {1, 4, 16}) {
         Sample s = Drive(h.ChannelPath(), messages, inFlight, seconds);
         const double ratio = handshakes > 0 ? s.perSecond / handshakes : 0;
         const double ratioReuse = reused > 0 ? s.perSecond / reused : 0;
         const double spread = s.p50Ms > 0 ? s.p99Ms / s.p50Ms : 0;
         printf("%-10d %12.1f %10.2f %10.2f %8zu %10.2f %10.2f %10.2f\n", inFlight, s.perSecond,
                s.p50Ms, s.p99Ms, s.failed, ratio, ratioReuse, spread);
         ok = ok && s.failed == 0;
      }
   };
   table("with session resumption:");
   // The same zarnd (port, keys) restarted to refuse resumption: every key request
   // pays a full handshake again.
   if (!zarnd.Start({"--no-resumption"})) {
      fprintf(stderr, "zarnd did not restart\n%s", zarnd.Log().c_str());
      return 1;
   }
   Drive(h.ChannelPath(), messages, 4, 1);
   table("without session resumption (zarnd --no-resumption):");
   h.StopAgent();
   return ok ? 0 : 1;
}
