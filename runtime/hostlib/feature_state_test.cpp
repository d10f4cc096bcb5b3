#include "runtime/hostlib/feature_state.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "runtime/hostlib/host_config.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

class TempFile {
public:
   explicit TempFile(const std::string &content)
   {
      char name[] = "/tmp/zarna-hostlib-XXXXXX";
      int fd = mkstemp(name);
      EXPECT_GE(fd, 0);
      close(fd);
      mPath = name;
      std::ofstream(mPath) << content;
   }
   ~TempFile() { unlink(mPath.c_str()); }
   const std::string &Path() const { return mPath; }

private:
   std::string mPath;
};

bool AgentEnabled()
{
   return *FeatureList[kFeatureZarna].enabled != 0;
}

TEST(FeatureState, AgentSwitchDefaultsOnAndFollowsTheConfigFile)
{
   EXPECT_STREQ(FeatureList[kFeatureZarna].name, "zarna");
   FeatureState_InitFromFile("/nonexistent/config.xml");
   EXPECT_TRUE(AgentEnabled());

   TempFile off("<config><features><zarna> Off </zarna></features></config>");
   HostlibTesting::LogCapture capture;
   FeatureState_InitFromFile(off.Path());
   EXPECT_FALSE(AgentEnabled());
   EXPECT_TRUE(capture.Contains("Feature zarna is disabled"));

   TempFile on("<config><features><zarna>enabled</zarna></features></config>");
   FeatureState_InitFromFile(on.Path());
   EXPECT_TRUE(AgentEnabled());

   // Re-initialising after "off" restores the default when the file says nothing.
   FeatureState_InitFromFile(off.Path());
   TempFile silent("<config><log><level>info</level></log></config>");
   FeatureState_InitFromFile(silent.Path());
   EXPECT_TRUE(AgentEnabled());

   TempFile bogus("<config><features><zarna>perhaps</zarna></features></config>");
   EXPECT_EQ(FeatureState_InvalidSwitch(), nullptr);
   FeatureState_InitFromFile(bogus.Path());
   EXPECT_FALSE(AgentEnabled()) << "an unreadable kill switch fails closed";
   EXPECT_STREQ(FeatureState_InvalidSwitch(), "zarna");
   EXPECT_TRUE(capture.Contains("features/zarna has an invalid value \"perhaps\""));
   FeatureState_InitFromFile(on.Path());
   EXPECT_EQ(FeatureState_InvalidSwitch(), nullptr);
}

TEST(HostConfig, FlattensNestedElementsIntoSlashPaths)
{
   std::map<std::string, std::string> values;
   std::string error;
   ASSERT_TRUE(HostConfig_Parse("<?xml version=\"1.0\"?><config><!-- c --><log><level>\n info \n"
                                "</level><file>/tmp/x &amp; y</file></log>"
                                "<tirel><threadPool><maxThreads>4</maxThreads></threadPool></tirel>"
                                "<empty/></config>",
                                values, error))
       << error;
   EXPECT_EQ(values.at("log/level"), "info");
   EXPECT_EQ(values.at("log/file"), "/tmp/x & y");
   EXPECT_EQ(values.at("tirel/threadPool/maxThreads"), "4");
   EXPECT_EQ(values.at("empty"), "");
   EXPECT_EQ(values.size(), 4U);
}

TEST(HostConfig, ClearErrorsForBadFiles)
{
   std::map<std::string, std::string> values{{"keep", "me"}};
   std::string error;
   EXPECT_FALSE(HostConfig_Parse("<config><log><level>info</log></config>", values, error));
   EXPECT_NE(error.find("Start-end tags mismatch at offset 26"), std::string::npos) << error;
   EXPECT_FALSE(HostConfig_Parse("<config><a>1</a><a>2</a></config>", values, error));
   EXPECT_NE(error.find("setting a is given more than once"), std::string::npos) << error;
   std::string deep = "<config>";
   for (int i = 0; i < 20; ++i) {
      deep += "<n>";
   }
   for (int i = 0; i < 20; ++i) {
      deep += "</n>";
   }
   deep += "</config>";
   EXPECT_FALSE(HostConfig_Parse(deep, values, error));
   EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
   EXPECT_FALSE(HostConfig_Load("/nonexistent/zarna.xml", values, error));
   EXPECT_NE(error.find("cannot open /nonexistent/zarna.xml"), std::string::npos) << error;
   EXPECT_EQ(values.at("keep"), "me"); // untouched on failure
}

} // namespace
