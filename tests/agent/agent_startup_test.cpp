// Starts the real agent binary and checks how it comes up and goes down.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::ChildProcess;
using ZarnaTesting::ExitCodeOf;
using ZarnaTesting::TempDir;

std::string Agent()
{
   return ZarnaTesting::BuiltProgram("apps/zarna/zarna");
}

class AgentStartup : public ::testing::Test {
protected:
   TempDir dir;

   std::unique_ptr<ChildProcess> Start(const std::string &configXml)
   {
      dir.Write("config.xml", configXml);
      return std::make_unique<ChildProcess>(std::vector<std::string>{Agent()},
                                            std::map<std::string, std::string>{
                                               {"ZARNA_CONFIG", dir.File("config.xml")}},
                                            dir.Path());
   }
};

TEST_F(AgentStartup, MalformedOrMissingConfigExitsOneWithFrameworkMessage)
{
   auto bad = Start("<config><log><level>info</level></config>");
   auto status = bad->Wait(20s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ExitCodeOf(*status), 1);
   EXPECT_NE(bad->StderrText().find("Initializing tirel failed: "), std::string::npos)
      << bad->StderrText();

   ChildProcess missing({Agent()}, {{"ZARNA_CONFIG", dir.File("absent.xml")}}, dir.Path());
   status = missing.Wait(20s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ExitCodeOf(*status), 1);
   EXPECT_NE(missing.StderrText().find("Initializing tirel failed: "), std::string::npos);
}

TEST_F(AgentStartup, DisabledFeatureSwitchPanicsBeforeAnythingElse)
{
   auto child = Start("<config><features><zarna>false</zarna></features></config>");
   auto status = child->Wait(20s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ExitCodeOf(*status), -SIGABRT);
   std::string err = child->StderrText();
   EXPECT_NE(err.find("VERIFY apps/zarna/zarna:141"), std::string::npos) << err;
   EXPECT_EQ(err.find("Started zarna"), std::string::npos) << "framework must not start";
}

} // namespace
