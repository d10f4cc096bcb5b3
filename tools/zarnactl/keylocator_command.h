// "zarnactl keylocator make|show": writes and reads key-locator texts with the
// key-locator library, without the agent.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace Zarnactl {

// True when args (without the program name) are a keylocator command.
bool IsKeyLocatorCommand(const std::vector<std::string> &args);
// Runs it; the exit code is 0, or 2 for a usage error or a refused text.
int RunKeyLocatorCommand(const std::vector<std::string> &args, std::ostream &out,
                         std::ostream &err);

} // namespace Zarnactl
