// Placeholder substitution in message templates: {1}, {2}... are positional
// arguments (1-based), {name} named ones, {{ and }} literal braces.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "runtime/ruvo/data/message.h"

namespace Ruvo {

enum class FormatError {
   NamedArgumentNotFound = 1,
   EmptyNamedSpecifier = 2,
   MoreSpecifiersThanExpected = 3,
};

const std::error_category &FormatCategory();
std::error_code make_error_code(FormatError e);

namespace Tools {

enum class ToolsError {
   NamedArgumentNotFound = 1,
   EmptyNamedSpecifier = 2,
};

const std::error_category &ToolsCategory();
std::error_code make_error_code(ToolsError e);

} // namespace Tools

using ArgRenderer = std::function<std::string(const MessageArg &)>;

// Fills the template. A placeholder that cannot be filled stays as written and the
// first problem is reported in `ec` (FormatCategory); the rest is still filled, so
// the text is always usable.
std::string FormatTemplate(std::string_view pattern, const std::vector<std::string> &positional,
                           const NamedArgs &named, const ArgRenderer &render, std::error_code &ec);

// Plain rendering without locale conventions.
std::string FormatTemplate(std::string_view pattern, const std::vector<std::string> &positional,
                           const NamedArgs &named = {});

namespace Tools {
// Named-only substitution of text values (ToolsCategory errors).
std::string Substitute(std::string_view pattern, const std::map<std::string, std::string> &named,
                       std::error_code &ec);
} // namespace Tools

} // namespace Ruvo

template <>
struct std::is_error_code_enum<Ruvo::FormatError> : std::true_type {};
template <>
struct std::is_error_code_enum<Ruvo::Tools::ToolsError> : std::true_type {};
