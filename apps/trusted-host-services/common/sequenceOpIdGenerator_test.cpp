#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

namespace {

using namespace Ths::Common::TirelRuvo;

TEST(SequenceOpIdGenerator, NamePackedUuidAndCounterFromZero)
{
   SequenceOpIdGenerator generator("resolveKey");
   EXPECT_TRUE(std::regex_match(generator.Prefix(), std::regex("resolveKey-[0-9a-f]{32}")))
       << generator.Prefix();
   EXPECT_EQ(generator.Next(), generator.Prefix() + "-0");
   EXPECT_EQ(generator.Next(), generator.Prefix() + "-1");
   EXPECT_NE(SequenceOpIdGenerator("resolveKey").Prefix(), generator.Prefix());
}

char *NoUuid()
{
   return nullptr;
}

char *BadUuid()
{
   return strdup("not-a-uuid");
}

int RealPack(char *text)
{
   return DefaultOpIdUuidSource().packText(text);
}

TEST(SequenceOpIdGenerator, FallsBackToProcessIdWithoutAUsableUuid)
{
   const std::string expected = "LogState-" + std::to_string(getpid());
   EXPECT_EQ(SequenceOpIdGenerator("LogState", {NoUuid, RealPack}).Prefix(), expected);
   // The unusable text is still freed (the leak checker of sanitizer builds sees it).
   EXPECT_EQ(SequenceOpIdGenerator("LogState", {BadUuid, RealPack}).Next(), expected + "-0");
}

TEST(SequenceOpIdGenerator, ConcurrentCallersGetDistinctConsecutiveIds)
{
   SequenceOpIdGenerator generator("InitCache");
   constexpr int kThreads = 4;
   constexpr int kPerThread = 5000;
   std::vector<std::vector<std::string>> seen(kThreads);
   std::vector<std::thread> threads;
   for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
         for (int i = 0; i < kPerThread; ++i) {
            seen[t].push_back(generator.Next());
         }
      });
   }
   for (auto &thread : threads) {
      thread.join();
   }
   std::set<std::string> all;
   for (const auto &ids : seen) {
      all.insert(ids.begin(), ids.end());
   }
   EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
   EXPECT_EQ(all.count(generator.Prefix() + "-" + std::to_string(kThreads * kPerThread - 1)), 1U);
   EXPECT_EQ(generator.Next(), generator.Prefix() + "-" + std::to_string(kThreads * kPerThread));
}

} // namespace
