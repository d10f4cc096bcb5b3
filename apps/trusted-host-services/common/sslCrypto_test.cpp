#include "apps/trusted-host-services/common/sslCrypto.h"

#include <gtest/gtest.h>

#include "runtime/hostlib/testing/log_capture.h"

namespace {

using namespace Ths::Common::SslUtils;
using HostlibTesting::LogCapture;
using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string &hex)
{
   Bytes bytes;
   for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
   }
   return bytes;
}

Bytes Text(const std::string &s)
{
   return Bytes(s.begin(), s.end());
}

struct Sealed {
   Bytes iv, ciphertext, tag;
};

Sealed Seal(const Bytes &plaintext, const Bytes &key, const Bytes &aad)
{
   Sealed s;
   EXPECT_EQ(AesGcmEncrypt(plaintext, key, aad, s.iv, s.ciphertext, s.tag), 1);
   return s;
}

// Both key sizes, and empty plaintext still authenticates its additional data.
TEST(AesGcm, RoundTripsWithAFreshIvEachTime)
{
   LogCapture log;
   for (size_t keySize : {16U, 32U}) {
      Bytes key(keySize, 0x42);
      Bytes aad = Text("provider=p1");
      for (const Bytes &plaintext : {Text("wrapped key material \x01\x02"), Bytes{}}) {
         Sealed s = Seal(plaintext, key, aad);
         EXPECT_EQ(s.iv.size(), 12U);
         EXPECT_EQ(s.tag.size(), 16U);
         EXPECT_EQ(s.ciphertext.size(), plaintext.size());
         EXPECT_TRUE(plaintext.empty() || s.ciphertext != plaintext);
         Sealed again = Seal(plaintext, key, aad);
         EXPECT_NE(s.iv, again.iv);
         EXPECT_NE(s.tag, again.tag);

         Bytes out = Text("stale");
         EXPECT_EQ(AesGcmDecrypt(s.ciphertext, key, s.iv, aad, s.tag, out), 1);
         EXPECT_EQ(out, plaintext);
         EXPECT_NE(AesGcmDecrypt(s.ciphertext, key, s.iv, Text("other"), s.tag, out), 1);
      }
   }
}

// Published GCM test vectors (AES-128, zero key and IV, no additional data): a tag
// made without any additional-data step must verify, so empty data is not fed.
TEST(AesGcm, MatchesKnownAnswerWithoutAdditionalData)
{
   Bytes key(16, 0), iv(12, 0), out;
   EXPECT_EQ(AesGcmDecrypt({}, key, iv, {}, FromHex("58e2fccefa7e3061367f1d57a4e7455a"), out), 1);
   EXPECT_EQ(AesGcmDecrypt(FromHex("0388dace60b6a392f328c2b971b2fe78"), key, iv, {},
                           FromHex("ab6e47d42cec13bdf53a67b21257bddf"), out),
             1);
   EXPECT_EQ(out, Bytes(16, 0));
}

TEST(AesGcm, TamperingFailsAtTheFinishAndReleasesNoPlaintext)
{
   LogCapture log;
   Bytes key(32, 9);
   Bytes aad = Text("aad");
   Bytes plaintext = Text("secret key bytes");
   Sealed s = Seal(plaintext, key, aad);

   auto flip = [](Bytes b) {
      b[0] ^= 0x01;
      return b;
   };
   struct Case {
      const char *what;
      Bytes ciphertext, key, iv, aad, tag;
   };
   const Case cases[] = {
       {"tag", s.ciphertext, key, s.iv, aad, flip(s.tag)},
       {"key", s.ciphertext, flip(key), s.iv, aad, s.tag},
       {"iv", s.ciphertext, key, flip(s.iv), aad, s.tag},
       {"aad", s.ciphertext, key, s.iv, flip(aad), s.tag},
       {"missing aad", s.ciphertext, key, s.iv, {}, s.tag},
       {"ciphertext", flip(s.ciphertext), key, s.iv, aad, s.tag},
   };
   for (const auto &c : cases) {
      log.Clear();
      Bytes out = Text("previous content");
      EXPECT_NE(AesGcmDecrypt(c.ciphertext, c.key, c.iv, c.aad, c.tag, out), 1) << c.what;
      EXPECT_TRUE(log.Has(110, "AesGcmDecrypt: EVP_DecryptFinal_ex failed")) << c.what;
      EXPECT_TRUE(out.empty()) << c.what;
   }
}

TEST(AesGcm, MalformedIvAndTagLengthsAreRefused)
{
   LogCapture log;
   Bytes key(16, 3);
   Sealed s = Seal(Text("data"), key, {});
   Bytes out;

   // GCM itself would check a truncated tag; only the full tag is acceptable.
   Bytes shortTag(s.tag.begin(), s.tag.begin() + 12);
   EXPECT_NE(AesGcmDecrypt(s.ciphertext, key, s.iv, {}, shortTag, out), 1);
   EXPECT_TRUE(log.Has(110, "AesGcmDecrypt: EVP_CIPHER_CTX_ctrl failed"));
   EXPECT_TRUE(out.empty());

   Bytes shortIv(s.iv.begin(), s.iv.begin() + 8);
   EXPECT_NE(AesGcmDecrypt(s.ciphertext, key, shortIv, {}, s.tag, out), 1);
   EXPECT_TRUE(log.Has(110, "AesGcmDecrypt: EVP_DecryptInit_ex failed"));
}

TEST(AesGcm, UnsupportedKeySizeIsRefusedBeforeAnyWork)
{
   LogCapture log;
   Bytes iv = Text("iv"), ciphertext = Text("ct"), tag = Text("tag");
   EXPECT_EQ(AesGcmEncrypt(Text("x"), Bytes(24, 1), {}, iv, ciphertext, tag), 0);
   EXPECT_TRUE(log.Has(110, "Key size 192 bits is not supported"));
   EXPECT_TRUE(log.Has(110, "Error getting cipher"));
   EXPECT_EQ(iv, Text("iv"));
   EXPECT_EQ(ciphertext, Text("ct"));
   EXPECT_EQ(tag, Text("tag"));

   Bytes out;
   EXPECT_EQ(AesGcmDecrypt(ciphertext, {}, Bytes(12, 0), {}, Bytes(16, 0), out), 0);
   EXPECT_TRUE(log.Has(110, "Key size 0 bits is not supported"));
}

TEST(ComputeSha256Hex, KnownDigestsInLowerCase)
{
   std::string hex;
   ASSERT_TRUE(ComputeSha256Hex("", hex));
   EXPECT_EQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
   ASSERT_TRUE(ComputeSha256Hex("abc", hex));
   EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
   ASSERT_TRUE(ComputeSha256Hex(std::string("a\0b", 3), hex));
   EXPECT_EQ(hex.size(), 64U);
}

} // namespace
