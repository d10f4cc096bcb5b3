// hyperkern-emu: plays the hypervisor kernel's RPC channel and key cache on a
// Linux host, for tests and the demo. See docs/kernel-channel.md.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <CLI/CLI.hpp>

#include "peers/hyperkern-emu/emulator_server.h"
#include "peers/hyperkern-emu/key_requests.h"
#include "peers/hyperkern-emu/report.h"
#include "runtime/hyperkern/emulator_client.h"

using namespace HyperkernEmu;
using Hyperkern::Bytes;
using Hyperkern::EmulatorClient;

namespace {

constexpr int kUsageError = 2;

int Fail(const std::string &message)
{
   fprintf(stderr, "hyperkern-emu: %s\n", message.c_str());
   return 1;
}

int Serve(const std::string &socket, bool refuseRegister, const std::string &replyStatuses,
          const std::string &getMsgFail, uint32_t getMsgFailCount)
{
   Options options;
   options.refuseRegister = refuseRegister;
   std::string error;
   if (!ParseStatusList(replyStatuses, options.replyStatuses, &error)) {
      fprintf(stderr, "hyperkern-emu: --reply-status: %s\n", error.c_str());
      return kUsageError;
   }
   if (!getMsgFail.empty()) {
      uint32_t status;
      if (!ParseStatus(getMsgFail, status) || status == 0) {
         fprintf(stderr, "hyperkern-emu: --getmsg-fail needs a non-zero 32-bit status\n");
         return kUsageError;
      }
      options.getMsgFail = status;
      options.getMsgFailCount = getMsgFailCount;
   }

   // Stop requests arrive as a readable descriptor in the serving loop.
   sigset_t stopSignals;
   sigemptyset(&stopSignals);
   sigaddset(&stopSignals, SIGTERM);
   sigaddset(&stopSignals, SIGINT);
   sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
   int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
   if (stopFd < 0) {
      return Fail("signalfd failed");
   }
   int code;
   {
      EmulatorServer server(socket, options);
      if (!server.Listen(&error)) {
         close(stopFd);
         return Fail(error);
      }
      code = server.Run(stopFd);
   }
   close(stopFd);
   return code;
}

std::unique_ptr<EmulatorClient> ConnectControl(const std::string &socket, std::string *error)
{
   return EmulatorClient::Connect(socket, "hyperkern-emu", error);
}

int Send(const std::string &socket, const std::string &locator, const std::string &rawFile,
         const std::string &provider, const std::string &keyId, double timeoutSecs, bool json)
{
   Bytes message;
   std::string error;
   if (!provider.empty() || !keyId.empty()) {
      if (!KeyRequestMessage(provider, keyId, message, &error)) {
         fprintf(stderr, "hyperkern-emu: %s\n", error.c_str());
         return kUsageError;
      }
   } else if (!rawFile.empty()) {
      std::ifstream in(rawFile, std::ios::binary);
      if (!in) {
         return Fail("cannot read " + rawFile);
      }
      message.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (message.size() > Hyperkern::Proto::kMaxMessage) {
         return Fail(rawFile + " is larger than " + std::to_string(Hyperkern::Proto::kMaxMessage) +
                     " bytes");
      }
   } else {
      // A locator text travels NUL-terminated, as the kernel sends it.
      message.assign(locator.begin(), locator.end());
      message.push_back('\0');
   }
   if (!std::isfinite(timeoutSecs) || timeoutSecs < 0 || timeoutSecs > 86400) {
      fprintf(stderr, "hyperkern-emu: --timeout must be between 0 and 86400 seconds\n");
      return kUsageError;
   }
   auto client = ConnectControl(socket, &error);
   if (!client) {
      return Fail(error);
   }
   Hyperkern::Proto::QueueMsgAnswer answer;
   const auto timeoutMs = static_cast<uint32_t>(std::llround(timeoutSecs * 1000));
   if (client->QueueMessage(message, timeoutMs, answer, &error) != Hyperkern::kStatusSuccess) {
      return Fail(error);
   }
   if (answer.status != Hyperkern::kStatusSuccess && answer.status != Hyperkern::kStatusTimedOut) {
      return Fail("the emulator did not queue the message: " +
                  HYK_ReturnStatusToString(answer.status));
   }
   fputs(SendReport(answer, json).c_str(), stdout);
   return answer.ended != 0 ? 0 : 1;
}

int Replies(const std::string &socket, bool json)
{
   std::string error;
   auto client = ConnectControl(socket, &error);
   if (!client) {
      return Fail(error);
   }
   Hyperkern::Proto::ListRepliesAnswer answer;
   if (client->ListReplies(answer, &error) != Hyperkern::kStatusSuccess) {
      return Fail(error);
   }
   fputs(RepliesReport(answer, json).c_str(), stdout);
   return 0;
}

int Keys(const std::string &socket, bool json, bool reveal, const std::string &provider,
         const std::string &keyId)
{
   std::string error;
   auto client = ConnectControl(socket, &error);
   if (!client) {
      return Fail(error);
   }
   Hyperkern::Proto::ListKeysAnswer answer;
   if (client->ListKeys(reveal, answer, &error) != Hyperkern::kStatusSuccess) {
      return Fail(error);
   }
   if (keyId.empty()) {
      fputs(KeysReport(answer, json, reveal).c_str(), stdout);
      return 0;
   }
   SelectKey(answer, provider, keyId);
   fputs(NameKeyInReport(KeysReport(answer, json, reveal), json, keyId).c_str(), stdout);
   return 0;
}

} // namespace

int main(int argc, char **argv)
{
   CLI::App app{"Plays the hypervisor kernel for zarna: the RPC channel on which the agent "
                "registers \"resolveKeyOp\", and the kernel key cache."};
   app.require_subcommand(1);
   std::string socket;

   auto *serve = app.add_subcommand("serve", "Serve the emulated kernel until SIGTERM");
   bool refuseRegister = false;
   std::string replyStatuses;
   std::string getMsgFail;
   uint32_t getMsgFailCount = 0;
   serve->add_option("--socket", socket, "Path of the SOCK_SEQPACKET socket")->required();
   serve->add_flag("--refuse-register", refuseRegister, "Refuse every registration (0xBAD0001)");
   serve->add_option("--reply-status", replyStatuses,
                     "Answers of successive reply calls, e.g. 0xBAD0006,0xBAD0006,0; "
                     "then the emulator's own answer");
   serve->add_option("--getmsg-fail", getMsgFail,
                     "Fail get-message calls with this status (the message id is filled in)");
   serve->add_option("--getmsg-fail-count", getMsgFailCount,
                     "Fail only this many get-message calls (default: all)");

   auto *send = app.add_subcommand("send", "Queue one request and wait for the reply that ends it");
   std::string locator;
   std::string rawFile;
   double timeoutSecs = 10;
   bool sendJson = false;
   send->add_option("--socket", socket, "Path of the emulator's socket")->required();
   auto *locatorOpt =
       send->add_option("--locator", locator, "Key-locator text (sent NUL-terminated)");
   auto *rawOpt = send->add_option("--raw-file", rawFile, "Send this file's bytes as they are");
   std::string provider;
   std::string keyId;
   auto *providerOpt =
       send->add_option("--provider", provider, "Ask for this provider's key (with --key-id)");
   auto *keyIdOpt = send->add_option("--key-id", keyId, "Key id of the key to ask for");
   providerOpt->needs(keyIdOpt);
   keyIdOpt->needs(providerOpt);
   locatorOpt->excludes(rawOpt)->excludes(providerOpt)->excludes(keyIdOpt);
   rawOpt->excludes(providerOpt)->excludes(keyIdOpt);
   send->add_option("--timeout", timeoutSecs, "Seconds to wait for the reply (default 10)");
   send->add_flag("--json", sendJson, "Print one JSON document");

   auto *replies = app.add_subcommand("replies", "List the reply calls the emulator recorded");
   bool repliesJson = false;
   replies->add_option("--socket", socket, "Path of the emulator's socket")->required();
   replies->add_flag("--json", repliesJson, "Print one JSON document");

   auto *keys = app.add_subcommand("keys", "List the emulated key cache");
   bool keysJson = false;
   bool reveal = false;
   keys->add_option("--socket", socket, "Path of the emulator's socket")->required();
   keys->add_flag("--json", keysJson, "Print one JSON document");
   keys->add_flag("--reveal", reveal, "Also print the key bytes (hex)");
   std::string keysProvider;
   std::string keysKeyId;
   auto *keysProviderOpt = keys->add_option("--provider", keysProvider,
                                            "Only the key of this provider (with --key-id)");
   auto *keysKeyIdOpt = keys->add_option("--key-id", keysKeyId, "Only the key with this key id");
   keysProviderOpt->needs(keysKeyIdOpt);
   keysKeyIdOpt->needs(keysProviderOpt);

   try {
      app.parse(argc, argv);
   } catch (const CLI::CallForHelp &e) {
      return app.exit(e);
   } catch (const CLI::ParseError &e) {
      app.exit(e);
      return kUsageError;
   }
   signal(SIGPIPE, SIG_IGN);

   if (serve->parsed()) {
      return Serve(socket, refuseRegister, replyStatuses, getMsgFail, getMsgFailCount);
   }
   if (send->parsed()) {
      if (locatorOpt->count() == 0 && rawOpt->count() == 0 && providerOpt->count() == 0) {
         fprintf(stderr,
                 "hyperkern-emu: send needs --locator, --raw-file or --provider with --key-id\n");
         return kUsageError;
      }
      return Send(socket, locator, rawFile, provider, keyId, timeoutSecs, sendJson);
   }
   if (replies->parsed()) {
      return Replies(socket, repliesJson);
   }
   return Keys(socket, keysJson, reveal, keysProvider, keysKeyId);
}
