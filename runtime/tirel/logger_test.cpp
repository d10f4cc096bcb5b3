#include "runtime/tirel/logger.h"

#include <gtest/gtest.h>

#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/tirel/string_util.h"

namespace {

using Tirel::Service::Logger;
using Tirel::Service::LogInternal;

struct Counted {
   int *renders;
};
std::ostream &operator<<(std::ostream &out, const Counted &c)
{
   ++*c.renders;
   return out << "counted";
}

TEST(Logger, MapsLevelsAndSubstitutesPlaceholders)
{
   HostlibTesting::LogCapture capture(135);
   Logger logger(Logger::kTrivia);
   LogInternal(logger, Logger::kVerbose, "Invoke-MethodId: %1", std::string("a.b.cd"));
   LogInternal(logger, Logger::kWarning, "MethodResult [FAIL] (MethodId:%1),%2", "m", 42);
   LogInternal(logger, Logger::kTrivia, "%2 before %1, 100%% and %3 stays", 1, 2);
   LogInternal(logger, Logger::kCritical, "critical");
   LogInternal(logger, Logger::kNone, "never");
   EXPECT_TRUE(capture.Has(130, "Invoke-MethodId: a.b.cd"));
   EXPECT_TRUE(capture.Has(115, "MethodResult [FAIL] (MethodId:m),42"));
   EXPECT_TRUE(capture.Has(135, "2 before 1, 100% and %3 stays"));
   EXPECT_TRUE(capture.Has(110, "critical"));
   EXPECT_FALSE(capture.Contains("never"));
}

TEST(Logger, SkipsFormattingWhenEitherLevelFilters)
{
   HostlibTesting::LogCapture capture(125);
   int renders = 0;
   Logger verbose(Logger::kVerbose);
   LogInternal(verbose, Logger::kVerbose, "%1", Counted{&renders}); // host stops at 125
   Logger info(Logger::kInfo);
   LogInternal(info, Logger::kVerbose, "%1", Counted{&renders}); // logger stops at info
   EXPECT_EQ(renders, 0);
   LogInternal(info, Logger::kInfo, "%1", Counted{&renders});
   EXPECT_EQ(renders, 1);
   EXPECT_TRUE(capture.Has(125, "counted"));
}

TEST(Logger, ParsesLevelNames)
{
   int level = -1;
   EXPECT_TRUE(Logger::ParseLevel("INFO", level));
   EXPECT_EQ(level, Logger::kInfo);
   EXPECT_TRUE(Logger::ParseLevel("6", level));
   EXPECT_EQ(level, Logger::kTrivia);
   EXPECT_FALSE(Logger::ParseLevel("loud", level));
   EXPECT_FALSE(Logger::ParseLevel("7", level));
   EXPECT_EQ(Logger::NumericLevel(Logger::kNone), 0U);
}

TEST(LogContext, ScopedBindingRestoresOrRemoves)
{
   HostlibTesting::LogCapture capture;
   {
      Tirel::Service::ScopedLogContext outer("opID", "InitCache-abc-0");
      {
         Tirel::Service::ScopedLogContext inner("opID", "resolveKey-abc-1");
         EXPECT_EQ(*Log_GetContext("opID"), "resolveKey-abc-1");
      }
      EXPECT_EQ(*Log_GetContext("opID"), "InitCache-abc-0");
      auto previous = Tirel::Service::SetLogContext("opID", std::string("x"));
      EXPECT_EQ(*previous, "InitCache-abc-0");
      Tirel::Service::SetLogContext("opID", previous);
   }
   EXPECT_FALSE(Log_GetContext("opID").has_value());
}

TEST(StringUtil, StrCatAndTrim)
{
   using Tirel::StringUtil::StrCat;
   using Tirel::StringUtil::Trim;
   std::string_view view = "view";
   EXPECT_EQ(StrCat("a", std::string("b"), view, 42, '-', uint64_t{7}, true), "abview42-7true");
   EXPECT_EQ(StrCat(), "");
   EXPECT_EQ(Trim(" \t text with  spaces \r\n"), "text with  spaces");
   EXPECT_EQ(Trim(" \n "), "");
   EXPECT_EQ(Trim("x"), "x");
}

} // namespace
