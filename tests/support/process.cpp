#include "tests/support/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace ZarnaTesting {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env,
                           const std::string &workDir, bool mergeStdout)
{
   char tmpl[] = "/tmp/zarna-child-XXXXXX";
   int errFd = mkstemp(tmpl);
   if (errFd < 0) {
      throw std::runtime_error("mkstemp failed");
   }
   mErrPath = tmpl;

   std::map<std::string, std::string> merged;
   for (char **e = environ; *e != nullptr; ++e) {
      std::string entry(*e);
      auto eq = entry.find('=');
      if (eq != std::string::npos) {
         merged[entry.substr(0, eq)] = entry.substr(eq + 1);
      }
   }
   for (auto &[k, v] : env) {
      merged[k] = v;
   }
   std::vector<std::string> envStrings;
   for (auto &[k, v] : merged) {
      envStrings.push_back(k + "=" + v);
   }
   std::vector<char *> envp;
   for (auto &s : envStrings) {
      envp.push_back(s.data());
   }
   envp.push_back(nullptr);
   std::vector<char *> args;
   for (auto &a : argv) {
      args.push_back(a.data());
   }
   args.push_back(nullptr);

   mPid = fork();
   if (mPid < 0) {
      close(errFd);
      throw std::runtime_error("fork failed");
   }
   if (mPid == 0) {
      if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
         _exit(127);
      }
      int devNull = open("/dev/null", O_RDWR);
      dup2(devNull, 0);
      dup2(mergeStdout ? errFd : devNull, 1);
      dup2(errFd, 2);
      execve(args[0], args.data(), envp.data());
      _exit(127);
   }
   close(errFd);
}

ChildProcess::~ChildProcess()
{
   if (Running()) {
      kill(mPid, SIGKILL);
      Wait(std::chrono::milliseconds(5000));
   }
   unlink(mErrPath.c_str());
}

bool ChildProcess::Signal(int sig)
{
   return mPid > 0 && !mStatus && kill(mPid, sig) == 0;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout)
{
   auto deadline = std::chrono::steady_clock::now() + timeout;
   while (!mStatus) {
      int status = 0;
      pid_t r = waitpid(mPid, &status, WNOHANG);
      if (r == mPid) {
         mStatus = status;
         break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
         return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
   return mStatus;
}

bool ChildProcess::Running()
{
   return mPid > 0 && !Wait(std::chrono::milliseconds(0)).has_value();
}

std::string ChildProcess::StderrText() const
{
   std::ifstream in(mErrPath);
   std::stringstream ss;
   ss << in.rdbuf();
   return ss.str();
}

bool ChildProcess::WaitForOutput(const std::string &fragment,
                                 std::chrono::milliseconds timeout) const
{
   return WaitForOutputCount(fragment, 1, timeout);
}

bool ChildProcess::WaitForOutputCount(const std::string &fragment, size_t count,
                                      std::chrono::milliseconds timeout) const
{
   auto deadline = std::chrono::steady_clock::now() + timeout;
   do {
      if (CountOf(StderrText(), fragment) >= count) {
         return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
   } while (std::chrono::steady_clock::now() < deadline);
   return false;
}

size_t CountOf(const std::string &text, const std::string &fragment)
{
   size_t n = 0;
   for (size_t at = text.find(fragment); at != std::string::npos;
        at = text.find(fragment, at + 1)) {
      ++n;
   }
   return n;
}

int ExitCodeOf(int waitStatus)
{
   if (WIFEXITED(waitStatus)) {
      return WEXITSTATUS(waitStatus);
   }
   if (WIFSIGNALED(waitStatus)) {
      return -WTERMSIG(waitStatus);
   }
   return -1000;
}

TempDir::TempDir()
{
   char tmpl[] = "/tmp/zarna-test-XXXXXX";
   if (mkdtemp(tmpl) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
   }
   mPath = tmpl;
}

TempDir::~TempDir()
{
   std::error_code ec;
   std::filesystem::remove_all(mPath, ec);
}

void TempDir::Write(const std::string &name, const std::string &content) const
{
   std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
   out << content;
}

int FreeTcpPort()
{
   int fd = socket(AF_INET, SOCK_STREAM, 0);
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = 0;
   socklen_t len = sizeof addr;
   int port = -1;
   if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
       getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
      port = ntohs(addr.sin_port);
   }
   close(fd);
   return port;
}

std::string BuiltProgram(const std::string &relativePath)
{
   const char *dir = getenv("ZARNA_BINARY_DIR");
   return std::string(dir != nullptr && *dir != '\0' ? dir : ZARNA_BUILD_TREE) + "/" + relativePath;
}

} // namespace ZarnaTesting
