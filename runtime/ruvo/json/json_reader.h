// Reads untrusted JSON text into a document, refusing anything the value codec
// could not represent faithfully, before the document is built.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/ruvo/json/arena_document.h"
#include "runtime/ruvo/json/json_limits.h"

namespace Ruvo::Protocol::Json {

// False, with the reason, for: text over the size limit, nesting deeper than the
// limit, more values than the limit, malformed JSON or invalid UTF-8, duplicate object keys, integers outside
// the signed 64-bit range, and non-finite numbers.
bool ReadDocument(std::string_view text, const Limits &limits, nlohmann::json &out,
                  std::string &reason);
// The same reading and the same refusals, into an arena document (the request
// path's: cheaper to build and to drop). Integers are 64-bit signed, other numbers
// doubles; `out` is left empty when the text is refused.
bool ReadDocument(std::string_view text, const Limits &limits, ArenaDocument &out,
                  std::string &reason);

} // namespace Ruvo::Protocol::Json
