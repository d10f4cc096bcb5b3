// Reads untrusted JSON text into a document, refusing anything the value codec
// could not represent faithfully, before the document is built.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/ruvo/json/json_limits.h"

namespace Ruvo::Protocol::Json {

// False, with the reason, for: text over the size limit, nesting deeper than the
// limit, more values than the limit, malformed JSON or invalid UTF-8, duplicate object keys, integers outside
// the signed 64-bit range, and non-finite numbers.
bool ReadDocument(std::string_view text, const Limits &limits, nlohmann::json &out,
                  std::string &reason);

} // namespace Ruvo::Protocol::Json
