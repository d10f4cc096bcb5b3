// Locator texts and the checks the cache calls make before any backend.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "runtime/keylocator/key_locator.h"
#include "runtime/keylocator/keycache_backend.h"
#include "runtime/keylocator/memory_key_cache.h"

namespace {

struct Imported {
   KeyLocError error = KEYLOC_SUCCESS;
   KeyLocator *locator = nullptr;
   ~Imported() { KeyLocator_Destroy(locator); }
};

std::unique_ptr<Imported> Import(const std::string &text)
{
   auto result = std::make_unique<Imported>();
   result->locator = reinterpret_cast<KeyLocator *>(0x1); // must be reset on failure
   result->error = KeyLocator_Import(text.c_str(), &result->locator);
   return result;
}

TEST(KeyLocatorText, AwkwardTextsSurviveTheRoundTripAsUnreservedCharacters)
{
   const std::string provider = "acme:eu/west%1+=";
   const std::string keyId = "v1.K2V5 aWQ=/x:y\xC3\xA9~_-";
   std::string text;
   ASSERT_EQ(KeyLocator_ExportIndirect(provider.c_str(), keyId.c_str(), &text), KEYLOC_SUCCESS);
   EXPECT_EQ(text.rfind("keyloc:1:indirect:", 0), 0u) << text;
   EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                    "0123456789-._~%:"),
             std::string::npos)
       << text;

   auto imported = Import(text);
   ASSERT_EQ(imported->error, KEYLOC_SUCCESS);
   const KeyLocatorIndirect *indirect = KeyLocator_GetIndirect(imported->locator);
   ASSERT_NE(indirect, nullptr);
   EXPECT_EQ(std::string(indirect->provider), provider);
   EXPECT_EQ(std::string(indirect->keyId), keyId);
   EXPECT_EQ(KeyLocator_GetDirectName(imported->locator), nullptr);

   // Lower-case escapes are read too.
   auto lower = Import("keyloc:1:indirect:a%3ab:k%2f");
   ASSERT_EQ(lower->error, KEYLOC_SUCCESS);
   EXPECT_STREQ(KeyLocator_GetIndirect(lower->locator)->provider, "a:b");
   EXPECT_STREQ(KeyLocator_GetIndirect(lower->locator)->keyId, "k/");
}

TEST(KeyLocatorText, BadTextsAreRefusedWithTheirReason)
{
   const struct {
      std::string text;
      KeyLocError error;
   } cases[] = {
       {"", KEYLOC_ERR_MALFORMED},
       {"keyloc", KEYLOC_ERR_MALFORMED},
       {"keyloc:1", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect::k", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:k:extra", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:direct:", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:sideways:p:k", KEYLOC_ERR_MALFORMED},
       {"KEYLOC:1:indirect:p:k", KEYLOC_ERR_MALFORMED},
       {"keyloc:01:indirect:p:k", KEYLOC_ERR_MALFORMED},
       {"keyloc:x:indirect:p:k", KEYLOC_ERR_MALFORMED},
       {"keyloc:2:indirect:p:k", KEYLOC_ERR_UNSUPPORTED_VERSION},
       {"keyloc:2:anything at all", KEYLOC_ERR_UNSUPPORTED_VERSION},
       {"keyloc:1:indirect:p:k k", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:k\n", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:\xC3\xA9", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:k%", KEYLOC_ERR_BAD_ESCAPE},
       {"keyloc:1:indirect:p:k%4", KEYLOC_ERR_BAD_ESCAPE},
       {"keyloc:1:indirect:p:k%zz", KEYLOC_ERR_BAD_ESCAPE},
       {"keyloc:1:indirect:p:k%00x", KEYLOC_ERR_BAD_ESCAPE},
       // Decoded texts obey the same rules as exported ones.
       {"keyloc:1:indirect:a%20b:k", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:%0A", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:%C3", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:" + std::string(256, 'p') + ":k", KEYLOC_ERR_MALFORMED},
       {"keyloc:1:indirect:p:" + std::string(4097, 'k'), KEYLOC_ERR_MALFORMED},
   };
   for (const auto &c : cases) {
      auto imported = Import(c.text);
      EXPECT_EQ(imported->error, c.error) << c.text;
      EXPECT_EQ(imported->locator, nullptr) << c.text;
   }
   KeyLocator *locator = nullptr;
   EXPECT_EQ(KeyLocator_Import(nullptr, &locator), KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_Import("keyloc:1:indirect:p:k", nullptr), KEYLOC_ERR_INVALID_ARGUMENT);
}

TEST(KeyLocatorText, LengthLimitFitsTheKernelBuffer)
{
   // The longest text fills the 8192-byte buffer together with its NUL.
   const std::string head = "keyloc:1:direct:";
   const std::string atLimit = head + std::string(kKeyLocatorMaxText - head.size(), 'k');
   // Too long for a key name, but the text limit is checked first.
   EXPECT_EQ(Import(atLimit)->error, KEYLOC_ERR_MALFORMED);
   EXPECT_EQ(Import(atLimit + "k")->error, KEYLOC_ERR_TOO_LONG);
   EXPECT_EQ(Import(std::string(1 << 20, 'k'))->error, KEYLOC_ERR_TOO_LONG);

   // The longest key id that needs no escapes fits; escaping can push a valid
   // key id past the text limit, which export refuses rather than cut.
   std::string text;
   const std::string plain(kKeyLocatorMaxKeyId, 'k');
   ASSERT_EQ(KeyLocator_ExportIndirect("p", plain.c_str(), &text), KEYLOC_SUCCESS);
   EXPECT_EQ(Import(text)->error, KEYLOC_SUCCESS);
   const std::string escaped(kKeyLocatorMaxKeyId, '+');
   EXPECT_EQ(KeyLocator_ExportIndirect("p", escaped.c_str(), &text), KEYLOC_ERR_TOO_LONG);
   EXPECT_TRUE(text.empty());
   EXPECT_EQ(KeyLocator_ExportIndirect("", "k", &text), KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_ExportIndirect("p", "line\nbreak", &text), KEYLOC_ERR_INVALID_ARGUMENT);
}

TEST(KeyLocatorErrors, EveryCodeHasItsOwnText)
{
   std::set<std::string> texts;
   for (KeyLocError e = 0; e <= KEYLOC_ERR_PERMISSION; ++e) {
      texts.insert(KeyLocError_ToString(e));
   }
   EXPECT_EQ(texts.size(), static_cast<size_t>(KEYLOC_ERR_PERMISSION) + 1);
   EXPECT_EQ(texts.count("unknown key locator error"), 0u);
   EXPECT_STREQ(KeyLocError_ToString(-1), "unknown key locator error");
   EXPECT_STREQ(KeyLocError_ToString(999), "unknown key locator error");
}

TEST(KeyCacheCalls, ArgumentsAreCheckedBeforeTheBackendSeesThem)
{
   KeyLoc::SetKeyCacheBackend(nullptr);
   const uint8_t key[32] = {1};
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", "k", 0, "AES-256", key, 32),
             KEYLOC_ERR_CACHE_UNAVAILABLE);
   EXPECT_EQ(KeyLocator_SetKeyTypeInKernelCache("p", "k", 2), KEYLOC_ERR_CACHE_UNAVAILABLE);
   EXPECT_EQ(KeyLocator_RemoveKeyFromKernelCache("p", "k"), KEYLOC_ERR_CACHE_UNAVAILABLE);

   auto cache = std::make_shared<KeyLoc::MemoryKeyCache>();
   KeyLoc::SetKeyCacheBackend(cache);
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", "k", 0, "AES-256", key, 16),
             KEYLOC_ERR_UNSUPPORTED_CIPHER);
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", "k", 0, "AES-512", key, 32),
             KEYLOC_ERR_UNSUPPORTED_CIPHER);
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", "k", 0, nullptr, key, 32),
             KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", "k", 0, "AES-128", nullptr, 16),
             KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("", "k", 0, "AES-128", key, 16),
             KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", nullptr, 0, "AES-128", key, 16),
             KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_SetKeyTypeInKernelCache("a b", "k", 2), KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(KeyLocator_RemoveKeyFromKernelCache("p", "bad\x01"), KEYLOC_ERR_INVALID_ARGUMENT);
   EXPECT_EQ(cache->Calls(KeyLoc::MemoryKeyCache::Op::Add), 0u);
   EXPECT_EQ(cache->Calls(KeyLoc::MemoryKeyCache::Op::SetType), 0u);
   EXPECT_EQ(cache->Calls(KeyLoc::MemoryKeyCache::Op::Remove), 0u);

   for (auto [cipher, length] : {std::pair{"AES-128", 16}, {"AES-192", 24}, {"AES-256", 32}}) {
      const std::string keyId = std::string("k-") + cipher;
      EXPECT_EQ(KeyLocator_AddKeyToKernelCache2("p", keyId.c_str(), 0, cipher, key,
                                                static_cast<size_t>(length)),
                KEYLOC_SUCCESS);
   }
   EXPECT_EQ(cache->Size(), 3u);
   KeyLoc::SetKeyCacheBackend(nullptr);
}

} // namespace
