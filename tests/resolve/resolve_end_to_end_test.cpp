// The kernel asks for keys by locator and the agent places them in the
// emulated kernel key cache, through the real attestation service, key
// provider service, kernel emulator and agent processes.
#include <gtest/gtest.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <memory>
#include <regex>

#include <nlohmann/json.hpp>

#include "runtime/hostlib/base64.h"
#include "runtime/keylocator/keyring_key_cache.h"
#include "tests/agent/agent_harness.h"
#include "tests/attest/tpm_fixture.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/resolve/zarnd_fixture.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ResolveTesting::TestKey;
using ZarnaTesting::AgentHarness;
using ZarnaTesting::ChildProcess;

class ResolveEndToEnd : public ::testing::Test {
protected:
   void SetUp() override
   {
      if (!AttestTesting::HaveSwtpm()) {
         GTEST_SKIP() << "skipped: swtpm not installed (scripts/bootstrap)";
      }
      ASSERT_TRUE(tpm.Start()) << tpm.Log();
      // Tokens name only the provider "disk".
      ASSERT_TRUE(attestd.Start({"--ek-ca", tpm.EkCaBundle()}, {"--grant", "disk"}))
          << attestd.Log();
      zarnd = std::make_unique<ResolveTesting::Zarnd>(attestd.SigningPublicKeyFile());
   }
   void StartAll(const std::string &keyCache = "<keycache><backend>emulator</backend></keycache>\n")
   {
      ASSERT_TRUE(zarnd->Start()) << zarnd->Log();
      ZarnaTesting::WriteTextFile(h.Dir().File("attestd-ca.pem"),
                                  ZarnaTesting::JoinPems(attestd.TrustedCas()));
      h.WriteConfig("<tpm><tcti>" + tpm.Tcti() +
                        "</tcti></tpm><attestationDelaySec>3600</attestationDelaySec>\n" + keyCache,
                    "trivia");
      ASSERT_TRUE(h.StartEmulator());
      ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
      const std::string tcp = "127.0.0.1:" + std::to_string(h.Port());
      auto a = h.Zarnactl({"--tcp", tcp, "attestation-services", "create", "--host", "127.0.0.1",
                           "--port", std::to_string(attestd.Port()), "--group", "g1", "--ca-file",
                           h.Dir().File("attestd-ca.pem")});
      ASSERT_EQ(a.exitCode, 0) << a.output;
      auto k = h.Zarnactl({"--tcp", tcp, "key-provider-services", "create", "--host", "127.0.0.1",
                           "--port", std::to_string(zarnd->Port()), "--group", "g1", "--ca-file",
                           zarnd->CaFile()});
      ASSERT_EQ(k.exitCode, 0) << k.output;
   }
   void TearDown() override
   {
      if (IsSkipped() || !h.Emulator()) {
         return;
      }
      // No key material in any line of the agent's most verbose log.
      const std::string log = h.Agent().StderrText();
      EXPECT_EQ(log.find("eyJ"), std::string::npos) << "token in the log";
      EXPECT_EQ(h.StopAgent(), 0);
   }
   json Send(const TestKey &key)
   {
      auto sent = h.EmulatorCommand({"send", "--provider", key.provider, "--key-id", key.wrapped,
                                     "--json", "--timeout", "60"});
      return json::parse(sent.output, nullptr, false);
   }
   json Keys() { return json::parse(h.EmulatorCommand({"keys", "--json"}).output, nullptr, false); }
   static const json *Entry(const json &keys, const TestKey &key)
   {
      for (const auto &entry : keys["keys"]) {
         if (entry["keyFingerprint"] == key.fingerprint) {
            return &entry;
         }
      }
      return nullptr;
   }

   AttestTesting::SwtpmInstance tpm;
   AttestTesting::AttestdProcess attestd;
   std::unique_ptr<ResolveTesting::Zarnd> zarnd;
   AgentHarness h;
};

TEST_F(ResolveEndToEnd, FirstRequestAttestsThenEveryKeyLandsWithItsCipherTypeAndFingerprint)
{
   const TestKey k32 = zarnd->Wrap("disk", 32);
   const TestKey k16 = zarnd->Wrap("disk", 16);
   const TestKey k24 = zarnd->Wrap("disk", 24);
   const TestKey tape = zarnd->Wrap("tape", 32);
   ASSERT_FALSE(k32.wrapped.empty());
   ASSERT_NO_FATAL_FAILURE(StartAll());

   // Nothing has asked for a token yet: this request waits for the attestation.
   json first = Send(k32);
   ASSERT_EQ(first["status"], "0x0") << first << h.Agent().StderrText();
   EXPECT_EQ(first["replyCalls"], 1);
   EXPECT_EQ(Send(k16)["status"], "0x0");
   EXPECT_EQ(Send(k24)["status"], "0x0");
   // Asked again, the key is found in place.
   EXPECT_EQ(Send(k32)["status"], "0x0");

   json keys = Keys();
   ASSERT_EQ(keys["total"], 3) << keys;
   for (const auto &[key, cipher] :
        {std::pair{&k16, "AES-128"}, {&k24, "AES-192"}, {&k32, "AES-256"}}) {
      const json *entry = Entry(keys, *key);
      ASSERT_NE(entry, nullptr) << cipher << keys;
      EXPECT_EQ((*entry)["provider"], "disk");
      EXPECT_EQ((*entry)["cipher"], cipher);
      EXPECT_EQ((*entry)["keyType"], 2);
      EXPECT_EQ((*entry)["keyLength"], key->length);
   }
   auto selected = json::parse(
       h.EmulatorCommand({"keys", "--json", "--provider", "disk", "--key-id", k24.wrapped}).output);
   ASSERT_EQ(selected["total"], 1);
   EXPECT_EQ(selected["keys"][0]["keyFingerprint"], k24.fingerprint);
   EXPECT_EQ(selected["keys"][0]["keyId"], k24.wrapped);

   // The token does not cover "tape"; a key id zarnd never wrapped; a locator
   // with no key behind it: each is refused and nothing more is cached.
   EXPECT_EQ(Send(tape)["status"], "0xBAD0003");
   TestKey forged = k32;
   forged.wrapped[forged.wrapped.size() / 2] ^= 1;
   EXPECT_EQ(Send(forged)["status"], "0xBAD0003");
   auto direct = json::parse(
       h.EmulatorCommand({"send", "--locator", "keyloc:1:direct:disk-7", "--json"}).output);
   EXPECT_EQ(direct["status"], "0xBAD0003");
   EXPECT_EQ(Keys()["total"], 3);

   const std::string log = h.Agent().StderrText();
   for (const TestKey *key : {&k16, &k24, &k32}) {
      EXPECT_EQ(log.find(key->fingerprint), std::string::npos);
   }
}

TEST_F(ResolveEndToEnd, SixteenRequestsAtOnceEachGetOneReplyAndTheirKey)
{
   std::vector<TestKey> keys;
   for (int i = 0; i < 16; ++i) {
      keys.push_back(zarnd->Wrap("disk", i % 2 == 0 ? 32 : 16));
   }
   ASSERT_NO_FATAL_FAILURE(StartAll());

   std::vector<std::unique_ptr<ChildProcess>> senders;
   for (const TestKey &key : keys) {
      senders.push_back(std::make_unique<ChildProcess>(
          std::vector<std::string>{ZarnaTesting::BuiltProgram("peers/hyperkern-emu/hyperkern-emu"),
                                   "send", "--socket", h.ChannelPath(), "--provider", key.provider,
                                   "--key-id", key.wrapped, "--json", "--timeout", "90"}));
   }
   for (auto &sender : senders) {
      ASSERT_TRUE(sender->Wait(120s).has_value());
      json answer = json::parse(sender->StderrText(), nullptr, false);
      EXPECT_EQ(answer["status"], "0x0") << sender->StderrText();
      EXPECT_EQ(answer["replyCalls"], 1);
   }
   json listed = Keys();
   ASSERT_EQ(listed["total"], 16);
   for (const TestKey &key : keys) {
      const json *entry = Entry(listed, key);
      ASSERT_NE(entry, nullptr);
      EXPECT_EQ((*entry)["keyType"], 2);
   }
   auto replies = json::parse(h.EmulatorCommand({"replies", "--json"}).output);
   EXPECT_EQ(replies["total"], 16);
}

TEST_F(ResolveEndToEnd, KeyAlsoLandsInTheKernelKeyringWhereTheKernelAllowsIt)
{
   // The agent inherits this private session keyring and links its keyring there.
   if (keyctl_join_session_keyring(nullptr) < 0) {
      GTEST_SKIP() << "skipped: the kernel refuses a private session keyring";
   }
   const TestKey key = zarnd->Wrap("disk", 32);
   ASSERT_NO_FATAL_FAILURE(StartAll("<keycache><backend>emulator,keyring</backend>"
                                    "<keyring>session</keyring></keycache>\n"));
   const json sent = Send(key);
   ASSERT_TRUE(sent.is_object() && sent["status"] == "0x0") << sent << h.Agent().StderrText();

   KeyLoc::KeyringKeyCache keyring(KEY_SPEC_SESSION_KEYRING);
   auto placed = keyring.Lookup("disk", key.wrapped);
   ASSERT_TRUE(placed.has_value());
   EXPECT_EQ(placed->keyType, 2u);
   EXPECT_EQ(placed->description.rfind("logon;", 0), 0u) << placed->description;
   const json listed = Keys();
   ASSERT_TRUE(listed.is_object()) << listed;
   const json *entry = Entry(listed, key);
   ASSERT_NE(entry, nullptr);
   EXPECT_EQ((*entry)["keyType"], 2);
}

} // namespace
