// Test helper: runs a program as a child process with its own environment,
// captures its standard error, and stops it by process id.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ZarnaTesting {

class ChildProcess {
public:
   // Starts `argv[0]` (a path) with `argv`; `env` entries are added to (or
   // override) the current environment; standard error (and output, when
   // `mergeStdout`) goes to a temporary file read by StderrText.
   ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env = {},
                const std::string &workDir = "", bool mergeStdout = true);
   ~ChildProcess(); // kills a still running child
   ChildProcess(const ChildProcess &) = delete;
   ChildProcess &operator=(const ChildProcess &) = delete;

   pid_t Pid() const { return mPid; }
   bool Signal(int sig);
   // Waits for the child to end; the wait status, or nullopt on timeout.
   std::optional<int> Wait(std::chrono::milliseconds timeout);
   bool Running();
   std::string StderrText() const;
   // Waits until the captured output contains `fragment`.
   bool WaitForOutput(const std::string &fragment, std::chrono::milliseconds timeout) const;
   // Waits until the captured output contains `fragment` at least `count` times.
   bool WaitForOutputCount(const std::string &fragment, size_t count,
                           std::chrono::milliseconds timeout) const;

private:
   pid_t mPid = -1;
   std::optional<int> mStatus;
   std::string mErrPath;
};

// Exit code of a wait status, or -signal when it was ended by a signal.
int ExitCodeOf(int waitStatus);

// How often `fragment` occurs in `text` (overlapping occurrences count).
size_t CountOf(const std::string &text, const std::string &fragment);

// A fresh temporary directory, removed with its content on destruction.
class TempDir {
public:
   TempDir();
   ~TempDir();
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;
   const std::string &Path() const { return mPath; }
   std::string File(const std::string &name) const { return mPath + "/" + name; }
   void Write(const std::string &name, const std::string &content) const;

private:
   std::string mPath;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

// Path of a built program, from the ZARNA_BINARY_DIR test environment.
std::string BuiltProgram(const std::string &relativePath);

} // namespace ZarnaTesting
