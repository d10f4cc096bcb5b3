// Runs a helper program with a fixed argument list (never through a shell),
// feeds it bytes on standard input and collects what it prints.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace HostCtl::Lib {

struct CommandResult {
   int exitCode = -1; // -1 when the program was ended by a signal
   std::string out;
   std::string err;
};

class CommandRunner {
public:
   virtual ~CommandRunner() = default;
   // argv[0] is an absolute path. HostCtlException when the program cannot be
   // started, outlives the time limit or prints too much; a non-zero exit is a
   // result, not an exception.
   virtual CommandResult Run(const std::vector<std::string> &argv, const std::string &input) = 0;
};

class SpawnCommandRunner : public CommandRunner {
public:
   explicit SpawnCommandRunner(std::chrono::milliseconds timeout = std::chrono::seconds(30),
                               size_t outputLimit = 16 * 1024 * 1024)
      : mTimeout(timeout), mOutputLimit(outputLimit)
   {
   }

   CommandResult Run(const std::vector<std::string> &argv, const std::string &input) override;

private:
   std::chrono::milliseconds mTimeout;
   size_t mOutputLimit;
};

} // namespace HostCtl::Lib
