#include "peers/zarnd/wrapped_key.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "peers/zarnd/master_keys.h"
#include "runtime/hostlib/base64.h"
#include "tests/support/process.h"

namespace Zarnd {
namespace {

Ruvo::SecretString Key(size_t bytes, char fill = 'k')
{
   return Ruvo::SecretString(std::string(bytes, fill));
}

TEST(WrappedKeyTest, RoundTripsEverySizeAndBindsProviderAndMasterKey)
{
   Ruvo::SecretString master = Key(32, 'm');
   for (size_t size : {16, 24, 32}) {
      WrappedKey wrapped;
      ASSERT_TRUE(SealKey(master, "disk", 7, Key(size), wrapped));
      std::string text = FormatWrappedKey(wrapped);
      EXPECT_LT(text.size(), 100u) << "must fit a key locator";
      WrappedKey parsed;
      ASSERT_TRUE(ParseWrappedKey(text, parsed)) << text;
      EXPECT_EQ(parsed.version, 7u);
      Ruvo::SecretString out;
      ASSERT_TRUE(OpenKey(master, "disk", parsed, out));
      EXPECT_EQ(out, Key(size));
      EXPECT_FALSE(OpenKey(master, "disk2", parsed, out)) << "another provider";
      EXPECT_FALSE(OpenKey(Key(32, 'n'), "disk", parsed, out)) << "another master key";
      parsed.version = 8;
      EXPECT_FALSE(OpenKey(master, "disk", parsed, out)) << "version is authenticated";
   }
   WrappedKey wrapped;
   EXPECT_FALSE(SealKey(master, "disk", 1, Key(20), wrapped));
   EXPECT_FALSE(SealKey(Key(16), "disk", 1, Key(32), wrapped));
   // Two wraps of one key differ (fresh IV).
   WrappedKey again;
   ASSERT_TRUE(SealKey(master, "disk", 1, Key(32), wrapped));
   ASSERT_TRUE(SealKey(master, "disk", 1, Key(32), again));
   EXPECT_NE(FormatWrappedKey(wrapped), FormatWrappedKey(again));
}

TEST(WrappedKeyTest, ParserAcceptsOnlyTheExactForm)
{
   WrappedKey good;
   ASSERT_TRUE(SealKey(Key(32, 'm'), "p", 12, Key(16), good));
   std::string iv = Hostlib::Base64UrlEncode(good.iv),
               ct = Hostlib::Base64UrlEncode(good.ciphertext),
               tag = Hostlib::Base64UrlEncode(good.tag);
   WrappedKey out;
   EXPECT_TRUE(ParseWrappedKey("zw1.12." + iv + "." + ct + "." + tag, out));
   const std::string bad[] = {
       "zw2.12." + iv + "." + ct + "." + tag,
       "zw1.012." + iv + "." + ct + "." + tag,
       "zw1.0." + iv + "." + ct + "." + tag,
       "zw1.2147483648." + iv + "." + ct + "." + tag,
       "zw1.-1." + iv + "." + ct + "." + tag,
       "zw1.12." + iv + "." + ct + "." + tag + ".",
       "zw1.12." + iv + "." + ct + "." + tag + ".x",
       "zw1.12." + iv + "." + ct,
       "zw1.12." + iv + "=." + ct + "." + tag,
       "zw1.12." + iv + "." + ct.substr(1) + "." + tag,
       "zw1.12." + iv + "." + ct + "." + tag.substr(0, tag.size() - 1) +
           "B", // non-canonical last character
       "zw1.12." + iv.substr(2) + "." + ct + "." + tag,
       "zw1.12." + iv + "." + Hostlib::Base64UrlEncode(std::string(20, 'x')) + "." + tag,
       "zw1.12." + iv + "." + Hostlib::Base64UrlEncode(std::string(300, 'x')) + "." + tag,
       "",
       "zw1....",
   };
   for (const auto &text : bad) {
      EXPECT_FALSE(ParseWrappedKey(text, out)) << text;
   }
}

// A rotation made by another process reaching the service is checked through the
// zarnd program.
TEST(MasterKeysTest, PrivateFileWithAKeyPerProviderKeepsOldVersions)
{
   ZarnaTesting::TempDir dir;
   std::string path = dir.File("keys.db");
   Ruvo::SecretString p, q;
   uint32_t version = 0;
   std::string error;
   MasterKeys keys(path);
   ASSERT_TRUE(keys.Current("p", version, p, error)) << error;
   EXPECT_EQ(version, 1u);
   EXPECT_EQ(p.Size(), 32u);
   ASSERT_TRUE(keys.Current("q", version, q, error));
   EXPECT_EQ(version, 1u);
   EXPECT_NE(q, p);
   struct stat st {};
   ASSERT_EQ(stat(path.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
   EXPECT_EQ(keys.Rotate("p", error), 2u);
   MasterKeys reopened(path);
   Ruvo::SecretString again;
   ASSERT_TRUE(reopened.Get("p", 1, again, error));
   EXPECT_EQ(again, p);
   EXPECT_FALSE(reopened.Get("p", 3, again, error));
   EXPECT_TRUE(error.empty()) << "a missing version is not a store failure";
}

} // namespace
} // namespace Zarnd
