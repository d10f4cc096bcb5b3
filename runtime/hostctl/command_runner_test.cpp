#include "runtime/hostctl/command_runner.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/hostctl/host_ctl_exception.h"

namespace HostCtl::Lib {
namespace {

TEST(CommandRunnerTest, PassesInputAndCollectsOutputWithoutAShell)
{
   SpawnCommandRunner runner;
   std::string big(1 << 20, 'x');
   big += "$(touch /tmp/never) ; `id`";
   CommandResult result = runner.Run({"/bin/cat"}, big);
   EXPECT_EQ(result.exitCode, 0);
   EXPECT_EQ(result.out, big);

   result = runner.Run({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, "");
   EXPECT_EQ(result.exitCode, 3);
   EXPECT_EQ(result.out, "out\n");
   EXPECT_EQ(result.err, "err\n");

   // The child gets neither descriptors the process left inheritable nor its environment.
   int leaked = dup(STDERR_FILENO);
   ASSERT_GE(leaked, 0);
   setenv("ZARNA_RUNNER_TEST_PARENT", "1", 1);
   result = runner.Run({"/bin/sh", "-c", "ls /proc/$$/fd; env"}, "");
   close(leaked);
   unsetenv("ZARNA_RUNNER_TEST_PARENT");
   EXPECT_EQ(result.out.find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << result.out;
   EXPECT_EQ(result.out.find("ZARNA_RUNNER_TEST_PARENT"), std::string::npos);
   EXPECT_NE(result.out.find("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos);
}

TEST(CommandRunnerTest, RefusesAndLimitsWhatItCannotRunSafely)
{
   SpawnCommandRunner quick(std::chrono::milliseconds(300), 64 * 1024);
   EXPECT_THROW(quick.Run({"nft", "-j"}, ""), HostCtlException) << "relative paths would search PATH";
   EXPECT_THROW(quick.Run({}, ""), HostCtlException);
   EXPECT_THROW(quick.Run({"/nonexistent/program"}, ""), HostCtlException);

   auto start = std::chrono::steady_clock::now();
   EXPECT_THROW(quick.Run({"/bin/sleep", "10"}, ""), HostCtlException);
   EXPECT_THROW(quick.Run({"/bin/sh", "-c", "exec >&- 2>&-; sleep 10"}, ""), HostCtlException);
   EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

   try {
      quick.Run({"/usr/bin/yes"}, "");
      FAIL() << "endless output accepted";
   } catch (const HostCtlException &e) {
      EXPECT_NE(e.GetDetailedMessage().find("too much output"), std::string::npos);
   }
}

} // namespace
} // namespace HostCtl::Lib
