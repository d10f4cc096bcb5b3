// Key resolution with a scripted key provider and an in-memory key cache whose
// faults are injected: every path ends in one status and its log line.
#include "apps/zarna/kernel/resolve_key_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "apps/zarna/kernel/rpc_channel.h"
#include "runtime/hostlib/base64.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/hyperkern/memory_kernel.h"
#include "runtime/keylocator/keycache_backend.h"
#include "runtime/keylocator/memory_key_cache.h"
#include "runtime/tirel/app.h"

namespace {

using namespace std::chrono_literals;
using KeyLoc::MemoryKeyCache;
using Op = KeyLoc::MemoryKeyCache::Op;

constexpr HYK_ReturnStatus kFailure = 0xBAD0003;

std::string Base64Of(size_t length, uint8_t fill = 0xA5)
{
   std::vector<uint8_t> bytes(length, fill);
   std::string text(Base64_EncodedLength(length) + 1, '\0');
   size_t textLength = 0;
   Base64_Encode(bytes.data(), bytes.size(), text.data(), text.size(), &textLength);
   text.resize(textLength);
   return text;
}

std::string Locator(const std::string &provider, const std::string &keyId)
{
   std::string text;
   EXPECT_EQ(KeyLocator_ExportIndirect(provider.c_str(), keyId.c_str(), &text), KEYLOC_SUCCESS);
   return text;
}

class ResolveKey : public ::testing::Test {
protected:
   void SetUp() override
   {
      mCache = std::make_shared<MemoryKeyCache>();
      KeyLoc::SetKeyCacheBackend(mCache);
      Zarna::SetKeyResolver([this](const std::string &provider, const std::string &keyId,
                                   Ruvo::SecretString &decrypted) {
         ++mResolveCalls;
         mLastProvider = provider;
         mLastKeyId = keyId;
         if (!mResolveOk) {
            return false;
         }
         decrypted = Ruvo::SecretString(mDecrypted);
         return true;
      });
   }
   void TearDown() override
   {
      Zarna::SetKeyResolver(nullptr);
      KeyLoc::SetKeyCacheBackend(nullptr);
   }

   HostlibTesting::LogCapture mLog;
   std::shared_ptr<MemoryKeyCache> mCache;
   std::atomic<int> mResolveCalls{0};
   std::string mLastProvider;
   std::string mLastKeyId;
   bool mResolveOk = true;
   std::string mDecrypted = Base64Of(32);
};

TEST_F(ResolveKey, KeyLengthChoosesTheCipherAndTheKeyIsCachedUnmanaged)
{
   for (auto [length, cipher] : {std::pair{16, "AES-128"}, {24, "AES-192"}, {32, "AES-256"}}) {
      mDecrypted = Base64Of(static_cast<size_t>(length), static_cast<uint8_t>(length));
      const std::string keyId = "wrapped+key/" + std::to_string(length);
      ASSERT_EQ(Zarna::ResolveKeyIntoCache(Locator("acme", keyId)), 0u) << length;
      EXPECT_EQ(mLastProvider, "acme");
      EXPECT_EQ(mLastKeyId, keyId);
      auto entry = mCache->Find("acme", keyId);
      ASSERT_TRUE(entry.has_value());
      EXPECT_EQ(entry->cipher, cipher);
      EXPECT_EQ(entry->keyType, 2u);
      EXPECT_EQ(entry->flags, 0u);
      EXPECT_EQ(entry->key,
                std::vector<uint8_t>(static_cast<size_t>(length), static_cast<uint8_t>(length)));
   }
   EXPECT_TRUE(mLog.Contains("Request to resolve keyloc:1:indirect:acme:wrapped%2Bkey%2F16"));
   for (const auto &line : mLog.Lines()) {
      EXPECT_GT(line.level, 115u) << line.text;
      EXPECT_EQ(line.text.find(Base64Of(32, 32)), std::string::npos) << "key material logged";
   }
}

TEST_F(ResolveKey, LocatorsThatNameNoKeyNeverReachTheKeyProvider)
{
   std::string direct;
   ASSERT_EQ(KeyLocator_ExportDirect("disk-7", &direct), KEYLOC_SUCCESS);
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(direct), kFailure);
   EXPECT_TRUE(mLog.Has(110, "key locator indirect is NULL"));

   const std::string bad[] = {"",
                              "keyloc:1:indirect:p",
                              "keyloc:9:indirect:p:k",
                              "keyloc:1:indirect:p:k%G1",
                              std::string(8192, 'k'),
                              "keyloc:1:indirect:p:k\x1b[2J"};
   for (const auto &text : bad) {
      EXPECT_EQ(Zarna::ResolveKeyIntoCache(text), kFailure);
   }
   EXPECT_TRUE(mLog.Has(110, "Import key locator on keyloc:9:indirect:p:k failed: unsupported "
                             "key locator version"));
   EXPECT_TRUE(mLog.Has(110, "Import key locator on  failed: malformed key locator"));
   // Kernel text cannot forge a line or a terminal sequence.
   EXPECT_TRUE(mLog.Contains("keyloc:1:indirect:p:k\\x1b[2J failed: malformed key locator"));
   EXPECT_EQ(mResolveCalls, 0);
   EXPECT_EQ(mCache->Calls(Op::Add), 0u);
}

TEST_F(ResolveKey, UnusableKeyMaterialIsRefusedBeforeTheCache)
{
   const struct {
      std::string decrypted;
      std::string line;
   } cases[] = {
       {"not base64!", "Failed to decode key for provider p, keyId = k"},
       {Base64Of(32) + "\n", "Failed to decode key for provider p, keyId = k"},
       {std::string("AAAA\0AAA", 8), "Failed to decode key for provider p, keyId = k"},
       {"", "Failed to get the cipher name for key size 0"},
       {Base64Of(20), "Failed to get the cipher name for key size 20"},
       {Base64Of(64), "Failed to get the cipher name for key size 64"},
   };
   for (const auto &c : cases) {
      mDecrypted = c.decrypted;
      EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k")), kFailure) << c.line;
      EXPECT_TRUE(mLog.Has(110, c.line)) << c.line;
   }
   EXPECT_TRUE(mLog.Has(110, "Failed to add key to key cache: key material cannot be decoded"));
   EXPECT_EQ(mCache->Calls(Op::Add), 0u);

   mResolveOk = false;
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k")), kFailure);
   EXPECT_TRUE(mLog.Has(110, "Failed to resolve key"));
}

TEST_F(ResolveKey, CacheFaultsAtEachStep)
{
   // Insertion refused: nothing to undo.
   mCache->SetFault(Op::Add, KEYLOC_ERR_CACHE_REFUSED);
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k1")), kFailure);
   EXPECT_TRUE(mLog.Has(110, "Failed to add key to key cache for provider p, keyId k1: key cache "
                             "refused the operation"));
   EXPECT_TRUE(mLog.Has(110, "Failed to add key to key cache: key cache refused the operation"));
   EXPECT_EQ(mCache->Calls(Op::SetType), 0u);
   mCache->SetFault(Op::Add, KEYLOC_SUCCESS);

   // Type refused: the key is taken out again.
   mCache->SetFault(Op::SetType, KEYLOC_ERR_PERMISSION);
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k2")), kFailure);
   EXPECT_TRUE(mLog.Has(110, "Failed to add unmanaged keyType to key cache for provider p, keyId "
                             "k2: permission denied by the key cache"));
   EXPECT_FALSE(mCache->Find("p", "k2").has_value());
   EXPECT_EQ(mCache->Calls(Op::Remove), 1u);

   // Type step answering "already present" removed the key too: not a success.
   mCache->SetFault(Op::SetType, KEYLOC_ERR_ALREADY_PRESENT);
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k3")), kFailure);
   EXPECT_FALSE(mCache->Find("p", "k3").has_value());
   EXPECT_TRUE(mLog.Has(110, "Failed to add key to key cache: already present"));

   // Removal refused as well: logged with the removal's reason, still a failure.
   mCache->SetFault(Op::SetType, KEYLOC_ERR_CACHE_REFUSED);
   mCache->SetFault(Op::Remove, KEYLOC_ERR_CACHE_UNAVAILABLE);
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k4")), kFailure);
   EXPECT_TRUE(mLog.Has(110, "Failed to remove key from key cache for provider p, keyId k4: key "
                             "cache unavailable"));
   EXPECT_TRUE(mLog.Has(110, "Failed to add key to key cache: key cache refused the operation"));
}

TEST_F(ResolveKey, KeyAlreadyPresentIsASuccessOnlyWithItsType)
{
   ASSERT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k")), 0u);
   // The same request again finds the key in place.
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k")), 0u);
   EXPECT_EQ(mCache->Calls(Op::Remove), 0u);

   // An entry that cannot be given its type is not reported as placed, and it
   // is not removed, since this request did not place it.
   mCache->SetFault(Op::SetType, KEYLOC_ERR_CACHE_REFUSED);
   EXPECT_EQ(Zarna::ResolveKeyIntoCache(Locator("p", "k")), kFailure);
   EXPECT_TRUE(mCache->Find("p", "k").has_value());
   EXPECT_EQ(mCache->Calls(Op::Remove), 0u);
}

TEST(ResolveKeyWork, SixtyFourRequestsAtOnceGetOneReplyEach)
{
   HostlibTesting::LogCapture log(110);
   auto cache = std::make_shared<MemoryKeyCache>();
   KeyLoc::SetKeyCacheBackend(cache);
   Zarna::SetKeyResolver(
       [](const std::string &, const std::string &keyId, Ruvo::SecretString &decrypted) {
          // Some keys come back unusable, some are requested twice.
          if (keyId.back() == '7') {
             decrypted = Ruvo::SecretString("####");
          } else {
             decrypted = Ruvo::SecretString(Base64Of(32));
          }
          std::this_thread::sleep_for(2ms);
          return true;
       });
   auto kernel = std::make_shared<Hyperkern::InMemoryKernel>();
   Hyperkern::SetKernelCalls(kernel);
   Tirel::Service::StartApp(Tirel::Service::CreateScratchConfig(),
                            std::make_shared<Tirel::System::ManualClock>());
   ASSERT_TRUE(Zarna::RegisterRpc());

   std::map<int32_t, HYK_ReturnStatus> expected;
   for (int i = 0; i < 64; ++i) {
      const std::string text = Locator("p", "key-" + std::to_string(i % 40));
      std::vector<uint8_t> bytes(text.begin(), text.end());
      bytes.push_back(0);
      expected[kernel->Queue(bytes)] = (i % 40) % 10 == 7 ? kFailure : 0u;
   }
   ASSERT_TRUE(kernel->WaitForReplies(64, 20s));
   ASSERT_TRUE(Tirel::Service::GetApp()->GetThreadPool()->WaitForIdle(5s));
   const auto replies = kernel->Replies();
   ASSERT_EQ(replies.size(), 64u);
   std::set<int32_t> answered;
   for (const auto &reply : replies) {
      EXPECT_TRUE(answered.insert(reply.msgId).second) << "second reply to " << reply.msgId;
      EXPECT_EQ(reply.status, expected[reply.msgId]) << reply.msgId;
   }
   EXPECT_EQ(cache->Size(), 36u);

   Zarna::UnregisterRpc();
   Tirel::Service::GetApp()->GetThreadPool()->WaitForIdle(5s);
   Hyperkern::SetKernelCalls(nullptr);
   Zarna::SetKeyResolver(nullptr);
   KeyLoc::SetKeyCacheBackend(nullptr);
}

} // namespace
