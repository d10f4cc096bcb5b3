#include "runtime/tirel/app.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/tirel/logger.h"

namespace {

using namespace std::chrono_literals;
using namespace Tirel::Service;

class TempConfig {
public:
   explicit TempConfig(const std::string &content)
   {
      char name[] = "/tmp/zarna-tirel-XXXXXX";
      int fd = mkstemp(name);
      EXPECT_GE(fd, 0);
      close(fd);
      mPath = name;
      std::ofstream(mPath) << content;
   }
   ~TempConfig() { unlink(mPath.c_str()); }
   const std::string &Path() const { return mPath; }

private:
   std::string mPath;
};

std::shared_ptr<Config> Defaults()
{
   auto config = CreateScratchConfig();
   Settings &settings = config->GetSettings();
   settings.SetString("log/level", "info");
   settings.SetInt("tirel/threadPool/ioThreads", 1);
   settings.SetInt("tirel/threadPool/maxThreads", 10);
   return config;
}

std::string InitError(const std::shared_ptr<Config> &config, const std::string &path)
{
   try {
      InitApp(config, path);
   } catch (const std::exception &e) {
      return e.what();
   }
   return "";
}

TEST(Settings, IntegersKeepTheirValueWhenAbsentOrUnusable)
{
   HostlibTesting::LogCapture capture;
   Settings settings;
   settings.SetInt("a", 42);
   settings.SetString("text", "12x");
   settings.SetInt("big", int64_t{1} << 40);
   int32_t value = 7;
   EXPECT_FALSE(settings.GetInt("absent", value));
   EXPECT_EQ(value, 7);
   EXPECT_TRUE(settings.GetInt("a", value));
   EXPECT_EQ(value, 42);
   EXPECT_FALSE(settings.GetInt("text", value));
   EXPECT_FALSE(settings.GetInt("big", value)); // does not fit 32 bits
   EXPECT_EQ(value, 42);
   EXPECT_TRUE(capture.Has(115, "Setting text is not a usable integer: \"12x\""));
   int64_t wide = 0;
   EXPECT_TRUE(settings.GetInt("big", wide));
   EXPECT_EQ(wide, int64_t{1} << 40);
   std::string text;
   EXPECT_TRUE(settings.GetString("a", text));
   EXPECT_EQ(text, "42");
}

TEST(InitApp, FileValuesOverrideDefaultsAndApplyLogging)
{
   HostlibTesting::LogCapture capture;
   TempConfig file("<config><log><level>verbose</level></log>"
                   "<tirel><threadPool><maxThreads>3</maxThreads></threadPool></tirel>"
                   "<attestationDelaySec>5</attestationDelaySec></config>");
   SetAppInfo({"zarna", "7.0.0", 12, 0});
   InitApp(Defaults(), file.Path());
   auto app = GetApp();
   ASSERT_NE(app, nullptr);
   int delay = 20;
   EXPECT_TRUE(app->GetSettings().GetInt("attestationDelaySec", delay));
   EXPECT_EQ(delay, 5);
   int maxThreads = 0;
   app->GetSettings().GetInt("tirel/threadPool/maxThreads", maxThreads);
   EXPECT_EQ(maxThreads, 3);
   int ioThreads = 0;
   app->GetSettings().GetInt("tirel/threadPool/ioThreads", ioThreads); // default kept
   EXPECT_EQ(ioThreads, 1);
   EXPECT_EQ(Logger::sDefaultLogger.GetLevel(), Logger::kVerbose);
   EXPECT_EQ(Log_GetOutputLevel(), 130U);
   EXPECT_EQ(app->GetAppInfo().build, 12U);
   EXPECT_TRUE(capture.Has(125, "Started zarna 7.0.0 (build 12) with at most 3 worker threads"));
   Logger::sDefaultLogger.SetLevel(Logger::kInfo);
}

TEST(InitApp, MissingMalformedAndInvalidFilesThrowClearErrors)
{
   HostlibTesting::LogCapture capture;
   EXPECT_NE(InitError(Defaults(), "/nonexistent/zarna.xml")
                 .find("cannot open /nonexistent/zarna.xml: No such file or directory"),
             std::string::npos);

   TempConfig malformed("<config><log><level>info</level></log>\n<oops></config>");
   std::string error = InitError(Defaults(), malformed.Path());
   EXPECT_NE(error.find("malformed configuration file " + malformed.Path()), std::string::npos)
       << error;
   EXPECT_NE(error.find("Start-end tags mismatch at offset 47"), std::string::npos) << error;

   TempConfig badLevel("<config><log><level>loud</level></log></config>");
   EXPECT_NE(InitError(Defaults(), badLevel.Path()).find("invalid log/level \"loud\""),
             std::string::npos);
   TempConfig badThreads(
       "<config><tirel><threadPool><maxThreads>0</maxThreads></threadPool></tirel></config>");
   EXPECT_NE(InitError(Defaults(), badThreads.Path())
                 .find("tirel/threadPool/maxThreads must be between 1 and 1024"),
             std::string::npos);
}

TEST(App, RunReturnsOnSigtermSigintOrStopButNotOnABrokenPipe)
{
   HostlibTesting::LogCapture capture;
   StartApp(Defaults(), nullptr);
   auto app = GetApp();
   for (int signo : {SIGTERM, SIGINT}) {
      std::thread sender([signo] {
         std::this_thread::sleep_for(50ms);
         int fds[2];
         if (pipe(fds) == 0) {
            close(fds[0]);
            EXPECT_EQ(write(fds[1], "x", 1), -1); // EPIPE, and the process lives on
            EXPECT_EQ(errno, EPIPE);
            close(fds[1]);
         }
         kill(getpid(), signo);
      });
      app->Run();
      sender.join();
      EXPECT_TRUE(capture.Has(125, "Received signal " + std::to_string(signo) + ", stopping"));
   }
   std::thread stopper([app] {
      std::this_thread::sleep_for(20ms);
      app->Stop();
   });
   app->Run();
   stopper.join();
   app->Run(); // stays stopped
   EXPECT_TRUE(capture.Has(125, "Stop requested"));
}

TEST(AppDeathTest, QuickExitEndsTheProcessWithTheCode)
{
   EXPECT_EXIT(Tirel::System::QuickExit(3), testing::ExitedWithCode(3), "");
}

} // namespace
