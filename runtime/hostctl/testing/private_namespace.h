// Test helper: runs the current GoogleTest test again in a child process that
// lives in fresh Linux namespaces (network, mount), so a test may change
// firewall rules or mounts without touching the host.
//
//   TEST(Suite, Name)
//   {
//      ZARNA_RUN_IN_PRIVATE_NAMESPACES(CLONE_NEWNET);
//      ... runs only in the child ...
//   }
//
// The parent waits for the child and fails when the child fails; where
// namespaces cannot be made (not root, no permission) the test is skipped.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace HostCtlTesting {

inline constexpr const char *kNamespaceChildEnv = "ZARNA_TEST_IN_PRIVATE_NAMESPACE";

enum class NamespaceRun { RunBodyHere, ChildFinished, Unavailable };

inline bool InNamespaceChild()
{
   const char *value = std::getenv(kNamespaceChildEnv);
   return value != nullptr && std::strcmp(value, "1") == 0;
}

// Brings the loopback interface of a fresh network namespace up.
inline int BringLoopbackUp()
{
   int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   if (fd < 0) {
      return errno;
   }
   struct ifreq request {};
   std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
   int err = 0;
   if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
      err = errno;
   } else {
      request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
      if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) {
         err = errno;
      }
   }
   close(fd);
   return err;
}

inline NamespaceRun RunInPrivateNamespaces(int cloneFlags, std::string &reason)
{
   if (InNamespaceChild()) {
      return NamespaceRun::RunBodyHere;
   }
   if (geteuid() != 0) {
      reason = "needs root to create private namespaces";
      return NamespaceRun::Unavailable;
   }
   const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
   std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();

   // Built before fork: the child may only make async-signal-safe calls.
   std::vector<std::string> envStrings;
   for (char **entry = environ; *entry != nullptr; entry++) {
      envStrings.emplace_back(*entry);
   }
   envStrings.push_back(std::string(kNamespaceChildEnv) + "=1");
   std::vector<char *> envp;
   for (std::string &entry : envStrings) {
      envp.push_back(entry.data());
   }
   envp.push_back(nullptr);
   char childName[] = "namespace-child";
   char *args[] = {childName, filter.data(), nullptr};

   int report[2];
   if (pipe2(report, O_CLOEXEC) != 0) {
      reason = std::string("pipe: ") + std::strerror(errno);
      return NamespaceRun::Unavailable;
   }
   pid_t child = fork();
   if (child < 0) {
      reason = std::string("fork: ") + std::strerror(errno);
      close(report[0]);
      close(report[1]);
      return NamespaceRun::Unavailable;
   }
   if (child == 0) {
      close(report[0]);
      int err = 0;
      if (unshare(cloneFlags) != 0) {
         err = errno;
      } else if ((cloneFlags & CLONE_NEWNS) != 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
         err = errno;
      } else if ((cloneFlags & CLONE_NEWNET) != 0) {
         err = BringLoopbackUp();
      }
      if (err == 0) {
         execve("/proc/self/exe", args, envp.data());
         err = errno;
      }
      ssize_t written = write(report[1], &err, sizeof err);
      _exit(written == sizeof err ? 77 : 78);
   }
   close(report[1]);
   int childErr = 0;
   ssize_t got = read(report[0], &childErr, sizeof childErr);
   close(report[0]);
   int status = 0;
   while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
   }
   if (got == sizeof childErr) {
      reason = std::string("cannot enter private namespaces: ") + std::strerror(childErr);
      return NamespaceRun::Unavailable;
   }
   EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "test body in private namespaces failed (status " << status << ")";
   return NamespaceRun::ChildFinished;
}

} // namespace HostCtlTesting

#define ZARNA_RUN_IN_PRIVATE_NAMESPACES(flags)                                              \
   do {                                                                                     \
      std::string zarnaNsReason;                                                            \
      switch (::HostCtlTesting::RunInPrivateNamespaces((flags), zarnaNsReason)) {           \
      case ::HostCtlTesting::NamespaceRun::Unavailable:                                     \
         GTEST_SKIP() << "skipped: " << zarnaNsReason;                                      \
      case ::HostCtlTesting::NamespaceRun::ChildFinished:                                   \
         return;                                                                            \
      case ::HostCtlTesting::NamespaceRun::RunBodyHere:                                     \
         break;                                                                             \
      }                                                                                     \
   } while (0)
