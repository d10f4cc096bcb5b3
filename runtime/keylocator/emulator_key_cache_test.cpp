// The emulator backend against the real kernel emulator program.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include "runtime/hyperkern/testing/emulator_process.h"
#include "runtime/keylocator/emulator_key_cache.h"

namespace {

using HyperkernTesting::EmulatorProcess;
using HyperkernTesting::TempDir;

std::string Hex(const uint8_t *data, size_t size)
{
   static const char kHex[] = "0123456789abcdef";
   std::string out;
   for (size_t i = 0; i < size; ++i) {
      out += kHex[data[i] >> 4];
      out += kHex[data[i] & 0xF];
   }
   return out;
}

nlohmann::json Keys(const EmulatorProcess &emu)
{
   auto listed = emu.Command({"keys", "--json"});
   EXPECT_EQ(listed.exitCode, 0);
   return nlohmann::json::parse(listed.out, nullptr, false);
}

TEST(EmulatorKeyCache, KeysLandInTheEmulatorWithTheirTypeAndFingerprint)
{
   TempDir dir;
   EmulatorProcess emu(HYPERKERN_EMU_PATH, dir.File("hk.sock"));
   ASSERT_TRUE(emu.WaitReady());
   KeyLoc::EmulatorKeyCache cache(emu.Socket());

   uint8_t key[32];
   for (uint8_t i = 0; i < 32; ++i) {
      key[i] = static_cast<uint8_t>(i * 7 + 1);
   }
   ASSERT_EQ(cache.Add("acme", "kid-1", 0, "AES-256", key, 32), KEYLOC_SUCCESS);
   EXPECT_EQ(cache.Add("acme", "kid-1", 0, "AES-256", key, 32), KEYLOC_ERR_ALREADY_PRESENT);
   ASSERT_EQ(cache.SetType("acme", "kid-1", 2), KEYLOC_SUCCESS);
   EXPECT_EQ(cache.SetType("acme", "kid-2", 2), KEYLOC_ERR_NOT_FOUND);

   nlohmann::json listed = Keys(emu);
   ASSERT_EQ(listed["total"], 1);
   const auto &entry = listed["keys"][0];
   EXPECT_EQ(entry["provider"], "acme");
   EXPECT_EQ(entry["keyIdDigest"], KeyLoc::KeyIdDigestHex("kid-1"));
   EXPECT_EQ(entry["cipher"], "AES-256");
   EXPECT_EQ(entry["keyType"], 2);
   uint8_t fingerprint[SHA256_DIGEST_LENGTH];
   SHA256(key, sizeof key, fingerprint);
   EXPECT_EQ(entry["keyFingerprint"], Hex(fingerprint, sizeof fingerprint));

   ASSERT_EQ(cache.Remove("acme", "kid-1"), KEYLOC_SUCCESS);
   EXPECT_EQ(cache.Remove("acme", "kid-1"), KEYLOC_ERR_NOT_FOUND);
   EXPECT_EQ(Keys(emu)["total"], 0);
}

TEST(EmulatorKeyCache, ReconnectsAfterTheEmulatorComesBack)
{
   TempDir dir;
   const uint8_t key[16] = {9};
   KeyLoc::EmulatorKeyCache cache(dir.File("hk.sock"));
   EXPECT_EQ(cache.Add("p", "k", 0, "AES-128", key, 16), KEYLOC_ERR_CACHE_UNAVAILABLE);
   {
      EmulatorProcess emu(HYPERKERN_EMU_PATH, dir.File("hk.sock"));
      ASSERT_TRUE(emu.WaitReady());
      EXPECT_EQ(cache.Add("p", "k", 0, "AES-128", key, 16), KEYLOC_SUCCESS);
   }
   EXPECT_EQ(cache.SetType("p", "k", 2), KEYLOC_ERR_CACHE_UNAVAILABLE);
   EmulatorProcess again(HYPERKERN_EMU_PATH, dir.File("hk.sock"));
   ASSERT_TRUE(again.WaitReady());
   // A new emulator starts with an empty cache.
   EXPECT_EQ(cache.SetType("p", "k", 2), KEYLOC_ERR_NOT_FOUND);
   EXPECT_EQ(cache.Add("p", "k", 0, "AES-128", key, 16), KEYLOC_SUCCESS);
}

} // namespace
