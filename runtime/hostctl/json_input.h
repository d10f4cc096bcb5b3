// Parses JSON that comes from outside the process (a tool's output, a state
// file) without exceptions and without building documents deeper than a limit,
// since copying and destroying a document recurse.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace HostCtl::Lib {

bool ParseJsonInput(const std::string &text, nlohmann::json &document, size_t maxDepth = 32);

} // namespace HostCtl::Lib
