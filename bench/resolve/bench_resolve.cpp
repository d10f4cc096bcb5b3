// Kernel key requests per second end to end (kernel emulator -> agent -> zarnd
// over TLS -> key cache) with 1, 4 and 16 requests in flight, with TLS session
// resumption and then against a zarnd that refuses it, beside the connections per
// second that `openssl s_time -new` (full handshakes) and `-reuse` (resumed) make
// to the same zarnd in the same run. Every process it starts is stopped when it ends.
//
//   bench_resolve [SECONDS]        (ZARNA_SOURCE_DIR must name the source tree)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/load.h"
#include "bench/common/system.h"
#include "runtime/hyperkern/emulator_client.h"
#include "runtime/keylocator/key_locator.h"
#include "tests/resolve/zarnd_fixture.h"

namespace {

using ZarnaBench::Sample;

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
   std::atomic<size_t> next{0};
   return ZarnaBench::RunLoad(inFlight, seconds, [&]() -> ZarnaBench::Operation {
      std::string error;
      std::shared_ptr<Hyperkern::EmulatorClient> client =
          Hyperkern::EmulatorClient::Connect(channel, "bench", &error);
      if (!client) {
         return nullptr;
      }
      return [&, client] {
         const auto &message = messages[next++ % messages.size()];
         Hyperkern::Proto::QueueMsgAnswer answer;
         std::string callError;
         return client->QueueMessage(message, 30000, answer, &callError) == 0 &&
                answer.ended != 0 && answer.replyStatus == expected;
      };
   });
}

// TLS connections per second from `openssl s_time` (mode "-new" or "-reuse").
// TLS 1.2, as the agent speaks: under 1.3 s_time never reads the ticket, so
// "-reuse" would resume nothing.
double HandshakesPerSecond(int port, const std::string &caFile, int seconds,
                           const std::string &mode = "-new")
{
   return ZarnaBench::SessionsPerSecond(port, caFile, seconds, mode + " -tls1_2");
}

} // namespace

int main(int argc, char **argv)
{
   double seconds = 0;
   if (!ZarnaBench::ReadSeconds(argc, argv, "bench_resolve", seconds)) {
      return 2;
   }
   AttestTesting::SwtpmInstance tpm;
   AttestTesting::AttestdProcess attestd;
   if (!ZarnaBench::StartAttestation(tpm, attestd, "disk")) {
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
   if (!ZarnaBench::ConfigureTrustGroup(h, attestd, zarnd.Port(), zarnd.CaFile())) {
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
