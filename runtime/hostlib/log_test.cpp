#include "runtime/hostlib/log.h"

#include <gtest/gtest.h>

#include <thread>

#include "runtime/hostlib/testing/log_capture.h"

namespace {

TEST(Log, LevelsAboveOutputLevelAreNotWritten)
{
   HostlibTesting::LogCapture capture(125);
   Log_Level(110, "error %d\n", 1);
   Log_Level(125, "info\n");
   Log_Level(130, "verbose\n");
   EXPECT_TRUE(capture.Has(110, "error 1"));
   EXPECT_TRUE(capture.Has(125, "info"));
   EXPECT_FALSE(capture.Contains("verbose"));
   EXPECT_TRUE(Log_IsLevelOutputting(125));
   EXPECT_FALSE(Log_IsLevelOutputting(126));
}

TEST(Log, ContextIsPerThreadAndRestorable)
{
   EXPECT_FALSE(Log_SetContext("opID", std::string("a-1")).has_value());
   auto previous = Log_SetContext("opID", std::string("b-2"));
   ASSERT_TRUE(previous.has_value());
   EXPECT_EQ(*previous, "a-1");
   std::thread([] { EXPECT_FALSE(Log_GetContext("opID").has_value()); }).join();
   Log_SetContext("opID", previous);
   EXPECT_EQ(*Log_GetContext("opID"), "a-1");
   Log_SetContext("opID", std::nullopt);
   EXPECT_FALSE(Log_GetContext("opID").has_value());
}

TEST(Log, LongMessagesAreNotTruncated)
{
   HostlibTesting::LogCapture capture;
   std::string big(5000, 'x');
   Log_Level(110, "%s\n", big.c_str());
   EXPECT_TRUE(capture.Has(110, big));
}

TEST(LogDeathTest, PanicAbortsWithMessage)
{
   EXPECT_DEATH(Panic("VERIFY %s:%d\n", "apps/zarna/zarna", 141), "VERIFY apps/zarna/zarna:141");
}

} // namespace
