#include "apps/zarna/include/logger.h"

#include <gtest/gtest.h>

#include "runtime/hostlib/testing/log_capture.h"

namespace {

TEST(RuvoLoggerWrapper, MapsEachRuntimeLevelAndWritesOneLinePerRecord)
{
   HostlibTesting::LogCapture capture(135);
   auto logger = std::make_shared<Zarna::RuvoLoggerWrapper>();
   const uint32_t expected[] = {135, 130, 125, 115, 110, 105};
   for (int level = 0; level <= 5; ++level) {
      auto record = logger->CreateRecord(level);
      ASSERT_NE(record, nullptr);
      record->Stream() << "runtime line " << level << " 100%s";
   }
   for (int level = 0; level <= 5; ++level) {
      // The text is an argument, not a format: a "%s" in it is printed as is.
      EXPECT_TRUE(capture.Has(expected[level], "runtime line " + std::to_string(level) + " 100%s"));
   }
   EXPECT_EQ(capture.Lines().size(), 6u);
}

struct Counted {
   int *count;
};
std::ostream &operator<<(std::ostream &out, const Counted &c)
{
   ++*c.count;
   return out;
}

TEST(RuvoLoggerWrapper, NoRecordAndNoFormattingBelowTheOutputLevel)
{
   HostlibTesting::LogCapture capture(125);
   auto logger = std::make_shared<Zarna::RuvoLoggerWrapper>();
   EXPECT_EQ(logger->CreateRecord(0), nullptr);
   EXPECT_EQ(logger->CreateRecord(1), nullptr);
   int formatted = 0;
   Ruvo::Log::Write(logger, Ruvo::Log::kTrace, "never ", Counted{&formatted});
   EXPECT_EQ(formatted, 0);
   EXPECT_TRUE(capture.Lines().empty());
   Ruvo::Log::Write(logger, Ruvo::Log::kInfo, "shown", Counted{&formatted});
   EXPECT_EQ(formatted, 1);
   EXPECT_TRUE(capture.Has(125, "shown"));
}

TEST(RuvoLoggerWrapperDeathTest, LevelAboveFivePanicsWithTheFixedLocation)
{
   Zarna::RuvoLoggerWrapper logger;
   EXPECT_DEATH(logger.CreateRecord(6), "NOT_REACHED apps/zarna/include/logger:96");
   EXPECT_DEATH(logger.CreateRecord(-1), "NOT_REACHED apps/zarna/include/logger:96");
}

} // namespace
