// The configuration keys the agent and its platform layer read. A key in the
// file that nothing reads is most often a misspelling (its default then
// silently applies), so start-up names each one in the log; it is not fatal.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "runtime/tirel/config.h"

namespace Zarna {

// The keys of `values` that nothing reads, in key order.
std::vector<std::string> UnknownSettings(const std::map<std::string, std::string> &values);

// Logs "Unknown configuration setting <key> (ignored)" at level 115 for each.
void LogUnknownSettings(const Tirel::Service::Settings &settings);

} // namespace Zarna
