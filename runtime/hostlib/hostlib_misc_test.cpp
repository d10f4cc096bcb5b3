// UUIDs, random numbers, clocks, digests, allocation and TLS start-up.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "runtime/hostlib/crypto_hash.h"
#include "runtime/hostlib/hostinfo.h"
#include "runtime/hostlib/random.h"
#include "runtime/hostlib/ssl_init.h"
#include "runtime/hostlib/util_alloc.h"
#include "runtime/hostlib/uuid.h"

namespace {

TEST(Uuid, RandomUuidsAreVersion4AndPackToHex)
{
   std::set<std::string> seen;
   for (int i = 0; i < 100; ++i) {
      char *text = UUID_CreateRandom();
      ASSERT_NE(text, nullptr);
      ASSERT_EQ(strlen(text), 36U);
      EXPECT_EQ(text[14], '4');
      EXPECT_NE(strchr("89ab", text[19]), nullptr);
      std::string original = text;
      ASSERT_NE(UUID_PackText(text), 0);
      std::string packed = text;
      free(text);
      EXPECT_EQ(packed.size(), 32U);
      EXPECT_EQ(packed.find_first_not_of("0123456789abcdef"), std::string::npos);
      std::string undashed = original;
      std::erase(undashed, '-');
      EXPECT_EQ(packed, undashed);
      seen.insert(packed);
   }
   EXPECT_EQ(seen.size(), 100U);
}

// Random bytes are taken from a block per thread: a forked child must not hand
// out the identifiers its parent is about to.
TEST(Uuid, ForkedChildDoesNotRepeatItsParent)
{
   free(UUID_CreateRandom()); // the block is filled and partly used
   int fds[2];
   ASSERT_EQ(pipe(fds), 0);
   pid_t child = fork();
   ASSERT_GE(child, 0);
   if (child == 0) {
      char *text = UUID_CreateRandom();
      ssize_t written = text == nullptr ? -1 : write(fds[1], text, 36);
      _exit(written == 36 ? 0 : 1);
   }
   close(fds[1]);
   char fromChild[37] = {};
   ASSERT_EQ(read(fds[0], fromChild, 36), 36);
   close(fds[0]);
   int status = 0;
   ASSERT_EQ(waitpid(child, &status, 0), child);
   ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
   char *mine = UUID_CreateRandom();
   ASSERT_NE(mine, nullptr);
   EXPECT_STRNE(mine, fromChild);
   free(mine);
}

TEST(Uuid, PackRefusesNonUuidTextAndLeavesItAlone)
{
   for (const char *input :
        {"", "not-a-uuid", "0123456789abcdef0123456789abcdef",
         "01234567-89ab-cdef-0123-456789abcdeg", "01234567-89ab-cdef-0123_456789abcdef"}) {
      std::string buf = input;
      EXPECT_EQ(UUID_PackText(buf.data()), 0) << input;
      EXPECT_EQ(buf, input);
   }
   EXPECT_EQ(UUID_PackText(nullptr), 0);
}

TEST(Random, SameSeedSameSequenceAndBitsVary)
{
   uint64_t a = 42;
   uint64_t b = 42;
   uint32_t orAll = 0;
   uint32_t andAll = 0xFFFFFFFF;
   std::set<uint32_t> values;
   for (int i = 0; i < 1000; ++i) {
      uint32_t x = Random_Fast(&a);
      EXPECT_EQ(x, Random_Fast(&b));
      orAll |= x;
      andAll &= x;
      values.insert(x);
   }
   EXPECT_EQ(orAll, 0xFFFFFFFFU);
   EXPECT_EQ(andAll, 0U);
   EXPECT_GT(values.size(), 990U);
   uint64_t zero = 0;
   EXPECT_NE(Random_Fast(&zero), Random_Fast(&zero)); // the zero seed is not stuck
}

TEST(Hostinfo, ClocksAreSane)
{
   uint64_t t1 = Hostinfo_SystemTimerNS();
   EXPECT_LE(t1, Hostinfo_SystemTimerNS());
   EXPECT_GT(Hostinfo_GetTimeOfDay(), int64_t{1700000000} * 1000000); // after 2023
}

// Known answers are checked through ComputeSha256Hex, which hashes with this.
TEST(CryptoHash, Sha256RefusesBadBuffers)
{
   EXPECT_EQ(CryptoHash_GetOutputSize(CryptoHash_SHA256()), 32U);
   unsigned char small[16];
   EXPECT_EQ(CryptoHash_Compute(CryptoHash_SHA256(), "abc", 3, small, sizeof small),
             CRYPTO_ERROR_BAD_BUFFER_SIZE);
   EXPECT_EQ(CryptoHash_Compute(nullptr, "abc", 3, small, sizeof small),
             CRYPTO_ERROR_BAD_PARAMETER);
}

TEST(UtilSafeMalloc0, ZeroFilledAndNonNullForZero)
{
   auto *p = static_cast<unsigned char *>(UtilSafeMalloc0(64));
   for (int i = 0; i < 64; ++i) {
      EXPECT_EQ(p[i], 0);
   }
   free(p);
   void *empty = UtilSafeMalloc0(0);
   EXPECT_NE(empty, nullptr);
   free(empty);
}

TEST(SslInit, IdempotentAndRefusesAlternativeLibraries)
{
   EXPECT_TRUE(SSL_Init(nullptr, nullptr, nullptr));
   EXPECT_TRUE(SSL_Init(nullptr, nullptr, nullptr));
   EXPECT_FALSE(SSL_Init(nullptr, "libssl.so.1.0.2", nullptr));
}

} // namespace
