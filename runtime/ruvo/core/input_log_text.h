// The text under which an operation's input may appear in a log line.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/type_desc.h"

namespace Ruvo::Core {

// When the operation's declared input type is registered, the input rendered by
// that type: a field declared secret shows as "<secret>" whatever value it holds,
// binary as its size, and parts whose type is not declared (dynamic, or fields
// the declaration does not name) by their field names only. Without a declaration
// only the shape: field names, "<string>", "<list of 3>"..., never a value, since
// nothing says which parts are secret. The text stops near `maxBytes` ("...").
std::string InputLogText(const std::string &methodText, const Data::DataValuePtr &input,
                         size_t maxBytes = 2048);

// The same rendering with an explicit declaration (null: none).
std::string ValueLogText(const Data::DataValuePtr &value, const Data::TypeDesc *declared,
                         size_t maxBytes = 2048);

} // namespace Ruvo::Core
