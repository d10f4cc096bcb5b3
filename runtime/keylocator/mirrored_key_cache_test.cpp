// Keys mirrored over two caches, and the backend settings that choose them.
#include "runtime/keylocator/mirrored_key_cache.h"

#include <gtest/gtest.h>

#include "runtime/keylocator/memory_key_cache.h"

namespace {

using KeyLoc::MemoryKeyCache;
using Op = MemoryKeyCache::Op;

TEST(MirroredKeyCache, AKeyIsInEveryCacheOrInNone)
{
   auto first = std::make_shared<MemoryKeyCache>();
   auto second = std::make_shared<MemoryKeyCache>();
   KeyLoc::MirroredKeyCache both({first, second});
   const uint8_t key[16] = {7};

   ASSERT_EQ(both.Add("p", "k1", 0, "AES-128", key, 16), KEYLOC_SUCCESS);
   EXPECT_TRUE(first->Find("p", "k1") && second->Find("p", "k1"));
   EXPECT_EQ(both.Add("p", "k1", 0, "AES-128", key, 16), KEYLOC_ERR_ALREADY_PRESENT);
   // Present in one only: placed in the other, so it is new.
   ASSERT_EQ(second->Remove("p", "k1"), KEYLOC_SUCCESS);
   EXPECT_EQ(both.Add("p", "k1", 0, "AES-128", key, 16), KEYLOC_SUCCESS);
   EXPECT_TRUE(second->Find("p", "k1"));

   // The second refuses: the first gives the key back up.
   second->SetFault(Op::Add, KEYLOC_ERR_PERMISSION);
   EXPECT_EQ(both.Add("p", "k2", 0, "AES-128", key, 16), KEYLOC_ERR_PERMISSION);
   EXPECT_FALSE(first->Find("p", "k2"));
   second->SetFault(Op::Add, KEYLOC_SUCCESS);

   // A type refused by one is a failure, yet the other cache still gets it.
   first->SetFault(Op::SetType, KEYLOC_ERR_CACHE_REFUSED);
   EXPECT_EQ(both.SetType("p", "k1", 2), KEYLOC_ERR_CACHE_REFUSED);
   EXPECT_EQ(second->Find("p", "k1")->keyType, 2u);
   first->SetFault(Op::SetType, KEYLOC_SUCCESS);

   first->SetFault(Op::Remove, KEYLOC_ERR_CACHE_UNAVAILABLE);
   EXPECT_EQ(both.Remove("p", "k1"), KEYLOC_ERR_CACHE_UNAVAILABLE);
   EXPECT_FALSE(second->Find("p", "k1"));
}

TEST(KeyCacheSettings, BackendNamesAndKeyringPlaces)
{
   std::string error;
   KeyLoc::KeyCacheSettings settings;
   settings.backend = "emulator,keyring";
   settings.emulatorSocket = "/nonexistent.sock";
   auto mirrored = KeyLoc::CreateKeyCacheBackend(settings, &error);
   ASSERT_NE(mirrored, nullptr) << error;
   EXPECT_NE(dynamic_cast<KeyLoc::MirroredKeyCache *>(mirrored.get()), nullptr);
   settings.keyring = "session";
   settings.backend = "keyring";
   EXPECT_NE(KeyLoc::CreateKeyCacheBackend(settings, &error), nullptr);

   for (const char *bad : {"", "keyring,keyring", "emulator,", "disk", "keyring, emulator"}) {
      settings.backend = bad;
      error.clear();
      EXPECT_EQ(KeyLoc::CreateKeyCacheBackend(settings, &error), nullptr) << bad;
      EXPECT_NE(error.find("unknown key cache backend"), std::string::npos) << bad;
   }
   settings.backend = "keyring";
   settings.keyring = "thread";
   EXPECT_EQ(KeyLoc::CreateKeyCacheBackend(settings, &error), nullptr);
   EXPECT_NE(error.find("unknown keyring place \"thread\""), std::string::npos);
}

} // namespace
