// What the commands built on CLI11 share: the usage error, finding the noun, the
// parse step, and the plain HTTP connection to the agent.
#pragma once

#include <chrono>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "runtime/ruvo/core/api_provider.h"
#include "tools/zarnactl/command_line.h"

namespace CLI {
class App;
}

namespace Zarnactl {

// "zarnactl: WHAT" (made printable) and the hint to --help; the usage exit code.
int Usage(std::ostream &err, const std::string &what);

// True when the first word that is neither an option nor the value of --tcp,
// --socket or --token-key is one of `nouns`.
bool NounIsOneOf(const std::vector<std::string> &args,
                 std::initializer_list<std::string_view> nouns);

// Parses args (without the program name) into app. Empty when the command is to
// run; otherwise the exit code: help was printed, or a usage error.
std::optional<int> ParseOrExit(CLI::App &app, const std::vector<std::string> &args,
                               std::ostream &out, std::ostream &err);

// Plain HTTP to the agent over its Unix socket or TCP; each read and write of a
// call may take up to `limit`.
Ruvo::Core::AsyncApiProviderPtr
ConnectToAgent(boost::asio::io_context &io, const Endpoint &endpoint, std::chrono::seconds limit);

} // namespace Zarnactl
