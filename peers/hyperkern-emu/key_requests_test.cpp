// The command line's key requests: the locator it sends, the entries it picks.
#include "peers/hyperkern-emu/key_requests.h"

#include <gtest/gtest.h>

#include "runtime/hyperkern/emulator_client.h"
#include "runtime/keylocator/key_locator.h"

namespace {

using namespace HyperkernEmu;

TEST(KeyRequests, MessageIsTheNulTerminatedLocatorOfTheKey)
{
   Hyperkern::Bytes message;
   std::string error;
   ASSERT_TRUE(KeyRequestMessage("acme", "v1:a/b", message, &error)) << error;
   ASSERT_FALSE(message.empty());
   EXPECT_EQ(message.back(), 0);
   KeyLocator *locator = nullptr;
   ASSERT_EQ(KeyLocator_Import(reinterpret_cast<const char *>(message.data()), &locator),
             KEYLOC_SUCCESS);
   EXPECT_STREQ(KeyLocator_GetIndirect(locator)->provider, "acme");
   EXPECT_STREQ(KeyLocator_GetIndirect(locator)->keyId, "v1:a/b");
   KeyLocator_Destroy(locator);

   EXPECT_FALSE(KeyRequestMessage("two words", "k", message, &error));
   EXPECT_EQ(error, "cannot make a key locator: invalid argument");
}

TEST(KeyRequests, SelectKeepsOnlyTheNamedKeyOfTheNamedProvider)
{
   Hyperkern::Proto::ListKeysAnswer answer;
   for (auto [provider, keyId] : {std::pair{"acme", "k1"}, {"acme", "k2"}, {"other", "k1"}}) {
      Hyperkern::Proto::KeyRecord record;
      record.provider = provider;
      record.digest = Hyperkern::DigestKeyId(keyId);
      answer.keys.push_back(record);
   }
   answer.total = 3;
   SelectKey(answer, "acme", "k1");
   ASSERT_EQ(answer.keys.size(), 1u);
   EXPECT_EQ(answer.total, 1u);
   EXPECT_EQ(answer.keys[0].provider, "acme");
   EXPECT_EQ(answer.keys[0].digest, Hyperkern::DigestKeyId("k1"));
}

} // namespace
