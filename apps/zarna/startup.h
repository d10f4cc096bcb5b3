// The agent's start-up after the framework is running, its serving phase and
// its orderly stop.
#pragma once

#include <memory>

#include "runtime/ruvo/log/logger.h"

namespace Zarna {

// The process-wide runtime logger, installed once by RunAgent; null before.
std::shared_ptr<Ruvo::Log::Logger> GetRuvoLogger();

// Installs `logger`, brings up the agent, serves until the framework's run
// call returns and stops in order. Ends the process with the exit code; never
// returns normally.
[[noreturn]] void RunAgent(std::shared_ptr<Ruvo::Log::Logger> logger);

} // namespace Zarna
