#include "runtime/hostlib/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

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

// What a log file holds, one entry per line.
std::vector<std::string> FileLines(const std::string &path)
{
   std::ifstream in(path);
   std::vector<std::string> lines;
   for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
   }
   return lines;
}

struct LogFile : ::testing::Test {
   void SetUp() override
   {
      char tmpl[] = "/tmp/zarna-log-XXXXXX";
      ASSERT_NE(mkdtemp(tmpl), nullptr);
      dir = tmpl;
      path = dir + "/zarna.log";
   }
   void TearDown() override
   {
      Log_SetFile("");
      std::filesystem::remove_all(dir);
   }
   std::string dir;
   std::string path;
};

// Creation mode and reopening after rotation are checked through the agent
// (tests/agent); here what only the library decides.
TEST_F(LogFile, ContextIsEscapedAndCutAndAFailedReopenKeepsTheOldFile)
{
   ASSERT_TRUE(Log_SetFile(path));
   HostlibTesting::LogCapture capture;
   Log_SetContext("opID", "a\n" + std::string(300, 'o'));
   Log_Level(110, "in the file\n");
   Log_SetContext("opID", std::nullopt);
   auto lines = FileLines(path);
   ASSERT_EQ(lines.size(), 1u);
   EXPECT_NE(
       lines[0].find("[opID=a\\x0a" + std::string(123, 'o') + "...[cut 177 bytes]] in the file"),
       std::string::npos)
       << lines[0];

   // A path that cannot be opened again keeps the old file in use.
   std::filesystem::remove_all(dir);
   EXPECT_FALSE(Log_ReopenFile());
   Log_Level(110, "not lost\n"); // written to the unlinked file, no crash
}

} // namespace
