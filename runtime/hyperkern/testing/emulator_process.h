// Test helper: runs the kernel emulator program and its control commands.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace HyperkernTesting {

// A scratch directory removed with its content.
class TempDir {
public:
   TempDir()
   {
      char name[] = "/tmp/zarna-hk-XXXXXX";
      const char *made = mkdtemp(name);
      mPath = made != nullptr ? made : "/tmp";
   }
   ~TempDir()
   {
      std::string command = "rm -rf '" + mPath + "'";
      if (system(command.c_str()) != 0) {
         // Leftovers in /tmp do no harm.
      }
   }
   const std::string &Path() const { return mPath; }
   std::string File(const std::string &name) const { return mPath + "/" + name; }

private:
   std::string mPath;
};

struct CommandResult {
   int exitCode = -1;
   std::string out;
};

inline pid_t Spawn(const std::vector<std::string> &args, int stdoutFd, int stderrFd)
{
   // Built before fork: the child of a threaded process may only exec.
   std::vector<char *> argv;
   for (const std::string &a : args) {
      argv.push_back(const_cast<char *>(a.c_str()));
   }
   argv.push_back(nullptr);
   pid_t pid = fork();
   if (pid == 0) {
      if (stdoutFd >= 0) {
         dup2(stdoutFd, STDOUT_FILENO);
      }
      if (stderrFd >= 0) {
         dup2(stderrFd, STDERR_FILENO);
      }
      execv(argv[0], argv.data());
      _exit(127);
   }
   return pid;
}

// Runs a command to its end and returns its exit code and standard output.
inline CommandResult Run(const std::vector<std::string> &args)
{
   CommandResult result;
   int pipeFds[2];
   if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      return result;
   }
   int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
   pid_t pid = Spawn(args, pipeFds[1], devNull);
   close(pipeFds[1]);
   close(devNull);
   char chunk[4096];
   ssize_t n;
   while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0) {
      result.out.append(chunk, static_cast<size_t>(n));
   }
   close(pipeFds[0]);
   int status = 0;
   waitpid(pid, &status, 0);
   result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
   return result;
}

// `hyperkern-emu serve` for the life of the object.
class EmulatorProcess {
public:
   EmulatorProcess(std::string binary, std::string socketPath,
                   std::vector<std::string> extraArgs = {})
       : mBinary(std::move(binary)), mSocket(std::move(socketPath))
   {
      std::vector<std::string> args{mBinary, "serve", "--socket", mSocket};
      args.insert(args.end(), extraArgs.begin(), extraArgs.end());
      int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
      const bool quiet = getenv("HYPERKERN_EMU_VERBOSE") == nullptr;
      mPid = Spawn(args, -1, quiet ? devNull : -1);
      close(devNull);
   }
   ~EmulatorProcess() { Stop(); }
   EmulatorProcess(const EmulatorProcess &) = delete;
   EmulatorProcess &operator=(const EmulatorProcess &) = delete;

   // The socket appears only once the emulator accepts connections.
   bool WaitReady(std::chrono::milliseconds limit = std::chrono::seconds(10)) const
   {
      auto end = std::chrono::steady_clock::now() + limit;
      struct stat st;
      while (stat(mSocket.c_str(), &st) != 0) {
         if (std::chrono::steady_clock::now() > end) {
            return false;
         }
         std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return true;
   }
   // SIGTERM and wait; returns the exit code (128 + signal when killed).
   int Stop(int signal = SIGTERM)
   {
      if (mPid <= 0) {
         return mExitCode;
      }
      kill(mPid, signal);
      int status = 0;
      waitpid(mPid, &status, 0);
      mPid = -1;
      mExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return mExitCode;
   }
   const std::string &Socket() const { return mSocket; }
   CommandResult Command(std::vector<std::string> args) const
   {
      args.insert(args.begin(), mBinary);
      args.insert(args.end(), {"--socket", mSocket});
      return Run(args);
   }

private:
   std::string mBinary;
   std::string mSocket;
   pid_t mPid = -1;
   int mExitCode = -1;
};

} // namespace HyperkernTesting
