// The keyring backend against the real kernel keyring, inside a private
// session keyring that this test process makes for itself.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/keylocator/keyring_key_cache.h"

namespace {

using KeyLoc::KeyringKeyCache;

class KeyringKeyCacheTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      // Every test gets a fresh anonymous session keyring, so nothing leaks
      // into the user's keyrings and no test sees another's keys.
      if (keyctl_join_session_keyring(nullptr) < 0) {
         GTEST_SKIP() << "the kernel refuses a private session keyring (keyctl: " << strerror(errno)
                      << ")";
      }
   }
   const uint8_t mKey[32] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
};

// The permission mask from a kernel description "type;uid;gid;perm;desc".
unsigned long PermOf(const std::string &described)
{
   size_t at = 0;
   for (int field = 0; field < 3; ++field) {
      at = described.find(';', at) + 1;
   }
   return strtoul(described.c_str() + at, nullptr, 16);
}

TEST_F(KeyringKeyCacheTest, KeyIsAnUnreadableLogonKeyOnlyItsOwnerReaches)
{
   KeyringKeyCache cache(KEY_SPEC_SESSION_KEYRING);
   ASSERT_EQ(cache.Add("acme", "wrapped/key:1", 0, "AES-256", mKey, 32), KEYLOC_SUCCESS);
   auto info = cache.Lookup("acme", "wrapped/key:1");
   ASSERT_TRUE(info.has_value());
   EXPECT_EQ(info->description.rfind("logon;", 0), 0u) << info->description;
   EXPECT_NE(info->description.find(";zarna:acme:" + KeyLoc::KeyIdDigestHex("wrapped/key:1")),
             std::string::npos)
       << info->description;
   const unsigned long perm = PermOf(info->description);
   EXPECT_EQ(perm & 0x0000FFFF, 0u) << std::hex << perm; // group and other: nothing
   EXPECT_EQ(perm & (KEY_POS_READ | KEY_USR_READ), 0u) << std::hex << perm;
   EXPECT_EQ(perm & KEY_USR_SEARCH, KEY_USR_SEARCH);
   EXPECT_EQ(perm & KEY_USR_VIEW, KEY_USR_VIEW);

   char buffer[64];
   EXPECT_LT(keyctl_read(info->serial, buffer, sizeof buffer), 0) << "logon keys never read back";

   // A consumer finds it in the named keyring linked into the parent.
   KeyLocError error = KEYLOC_SUCCESS;
   const key_serial_t ring = cache.Keyring(&error);
   ASSERT_GT(ring, 0);
   EXPECT_EQ(keyctl_search(KEY_SPEC_SESSION_KEYRING, "keyring", KeyLoc::kKeyringName, 0), ring);
   EXPECT_EQ(keyctl_search(KEY_SPEC_SESSION_KEYRING, "logon",
                           KeyringKeyCache::KeyDescription("acme", "wrapped/key:1").c_str(), 0),
             info->serial);
}

TEST_F(KeyringKeyCacheTest, LifecycleOfOneKey)
{
   KeyringKeyCache cache(KEY_SPEC_SESSION_KEYRING);
   EXPECT_EQ(cache.SetType("p", "k", 2), KEYLOC_ERR_NOT_FOUND);
   EXPECT_EQ(cache.Remove("p", "k"), KEYLOC_ERR_NOT_FOUND);

   ASSERT_EQ(cache.Add("p", "k", 0, "AES-128", mKey, 16), KEYLOC_SUCCESS);
   EXPECT_EQ(cache.Lookup("p", "k")->keyType, 0u);
   EXPECT_EQ(cache.Add("p", "k", 0, "AES-128", mKey, 16), KEYLOC_ERR_ALREADY_PRESENT);
   // Same key id under another provider is another key.
   EXPECT_EQ(cache.Add("q", "k", 0, "AES-128", mKey, 16), KEYLOC_SUCCESS);

   ASSERT_EQ(cache.SetType("p", "k", 2), KEYLOC_SUCCESS);
   EXPECT_EQ(cache.Lookup("p", "k")->keyType, 2u);
   EXPECT_EQ(cache.Lookup("q", "k")->keyType, 0u);

   const key_serial_t serial = cache.Lookup("p", "k")->serial;
   ASSERT_EQ(cache.Remove("p", "k"), KEYLOC_SUCCESS);
   EXPECT_FALSE(cache.Lookup("p", "k").has_value());
   // Revoked, not merely unlinked: a holder of the old serial cannot use it.
   char *described = nullptr;
   EXPECT_LT(keyctl_describe_alloc(serial, &described), 0);
   free(described);
   EXPECT_EQ(cache.Remove("p", "k"), KEYLOC_ERR_NOT_FOUND);

   // A key placed again starts without the old key's type.
   ASSERT_EQ(cache.Add("p", "k", 0, "AES-128", mKey, 16), KEYLOC_SUCCESS);
   EXPECT_EQ(cache.Lookup("p", "k")->keyType, 0u);
}

TEST_F(KeyringKeyCacheTest, AnotherInstanceUsesTheSameNamedKeyring)
{
   KeyringKeyCache first(KEY_SPEC_SESSION_KEYRING);
   ASSERT_EQ(first.Add("p", "k", 0, "AES-192", mKey, 24), KEYLOC_SUCCESS);
   KeyringKeyCache second(KEY_SPEC_SESSION_KEYRING);
   EXPECT_EQ(second.Add("p", "k", 0, "AES-192", mKey, 24), KEYLOC_ERR_ALREADY_PRESENT);
   EXPECT_EQ(second.SetType("p", "k", 2), KEYLOC_SUCCESS);
   EXPECT_EQ(first.Lookup("p", "k")->keyType, 2u);
   KeyLocError error = KEYLOC_SUCCESS;
   EXPECT_EQ(first.Keyring(&error), second.Keyring(&error));
}

} // namespace
