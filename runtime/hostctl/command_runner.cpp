#include "runtime/hostctl/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/hostctl/host_ctl_exception.h"

namespace HostCtl::Lib {

namespace {

class Fd {
public:
   Fd() = default;
   explicit Fd(int fd) : mFd(fd) {}
   ~Fd() { Reset(); }
   Fd(const Fd &) = delete;
   Fd &operator=(const Fd &) = delete;

   int Get() const { return mFd; }
   void Reset()
   {
      if (mFd >= 0) {
         close(mFd);
      }
      mFd = -1;
   }

private:
   int mFd = -1;
};

[[noreturn]] void FailErrno(const std::string &what, int err)
{
   throw HostCtlException("Cannot run " + what, std::strerror(err));
}

// The input goes through an in-memory file rather than a pipe: the child reads
// it at its own pace and we never block on (or get SIGPIPE from) a full pipe.
int MakeInputFile(const std::string &input, const std::string &program)
{
   int fd = memfd_create("hostctl-input", MFD_CLOEXEC);
   if (fd < 0) {
      FailErrno(program, errno);
   }
   size_t done = 0;
   while (done < input.size()) {
      ssize_t n = write(fd, input.data() + done, input.size() - done);
      if (n < 0 && errno == EINTR) {
         continue;
      }
      if (n <= 0) {
         int err = errno;
         close(fd);
         FailErrno(program, err);
      }
      done += static_cast<size_t>(n);
   }
   if (lseek(fd, 0, SEEK_SET) != 0) {
      int err = errno;
      close(fd);
      FailErrno(program, err);
   }
   return fd;
}

void ReapChild(pid_t pid, int &status)
{
   while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
   }
}

} // namespace

CommandResult SpawnCommandRunner::Run(const std::vector<std::string> &argv, const std::string &input)
{
   if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
      throw HostCtlException("Cannot run a program without an absolute path");
   }
   const std::string &program = argv[0];
   Fd in(MakeInputFile(input, program));
   int outPipe[2];
   int errPipe[2];
   if (pipe2(outPipe, O_CLOEXEC) != 0) {
      FailErrno(program, errno);
   }
   Fd outRead(outPipe[0]);
   Fd outWrite(outPipe[1]);
   if (pipe2(errPipe, O_CLOEXEC) != 0) {
      FailErrno(program, errno);
   }
   Fd errRead(errPipe[0]);
   Fd errWrite(errPipe[1]);

   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_adddup2(&actions, in.Get(), STDIN_FILENO);
   posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
   posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), STDERR_FILENO);
   // Descriptors the rest of the process forgot to mark close-on-exec stay here.
   posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

   posix_spawnattr_t attributes;
   posix_spawnattr_init(&attributes);
   sigset_t none;
   sigemptyset(&none);
   sigset_t defaults;
   sigfillset(&defaults);
   posix_spawnattr_setsigmask(&attributes, &none);
   posix_spawnattr_setsigdefault(&attributes, &defaults);
   posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

   std::vector<char *> args;
   for (const std::string &arg : argv) {
      args.push_back(const_cast<char *>(arg.c_str()));
   }
   args.push_back(nullptr);
   char pathEnv[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
   char localeEnv[] = "LC_ALL=C";
   char *env[] = {pathEnv, localeEnv, nullptr};

   pid_t pid = -1;
   int spawnErr = posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(), env);
   posix_spawn_file_actions_destroy(&actions);
   posix_spawnattr_destroy(&attributes);
   if (spawnErr != 0) {
      FailErrno(program, spawnErr);
   }
   outWrite.Reset();
   errWrite.Reset();
   in.Reset();

   CommandResult result;
   auto deadline = std::chrono::steady_clock::now() + mTimeout;
   std::string failure;
   struct pollfd fds[2] = {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}};
   std::string *sinks[2] = {&result.out, &result.err};
   int open = 2;
   while (open > 0 && failure.empty()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
         failure = "timed out";
         break;
      }
      int ready = poll(fds, 2, static_cast<int>(left.count()));
      if (ready < 0) {
         if (errno == EINTR) {
            continue;
         }
         failure = std::strerror(errno);
         break;
      }
      for (int i = 0; i < 2; i++) {
         if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
         }
         char buffer[8192];
         ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
         if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
         }
         if (n <= 0) {
            fds[i].fd = -1;
            open--;
            continue;
         }
         sinks[i]->append(buffer, static_cast<size_t>(n));
         if (result.out.size() + result.err.size() > mOutputLimit) {
            failure = "too much output";
         }
      }
   }
   int status = 0;
   if (!failure.empty()) {
      kill(pid, SIGKILL); // our own child only
      ReapChild(pid, status);
      throw HostCtlException("Cannot run " + program, failure);
   }
   // Output closed; the program may still linger (e.g. a child of its own holds
   // nothing open), so the time limit applies to its exit too.
   while (true) {
      pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno != EINTR)) {
         break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
         kill(pid, SIGKILL);
         ReapChild(pid, status);
         throw HostCtlException("Cannot run " + program, "timed out");
      }
      usleep(1000);
   }
   result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   return result;
}

} // namespace HostCtl::Lib
