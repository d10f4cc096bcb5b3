// Data values <-> JSON. Structures are objects (unset optional fields omitted),
// lists arrays, binary base64 text, secrets plain strings, enumerations their value
// names, errors {"name": ..., "fields": {...}}, void and unset optionals null.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "runtime/ruvo/binding/codec_context.h"
#include "runtime/ruvo/core/method_result.h"
#include "runtime/ruvo/json/arena_document.h"
#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/type_desc.h"

namespace Ruvo::Protocol::Json {

// Appends the JSON text of the value. False, with the reason, for values JSON
// cannot carry: text that is not UTF-8, non-finite numbers, nesting deeper than
// `maxDepth`.
bool AppendValue(const Data::DataValue &value, std::string &out, std::string &reason,
                 int maxDepth = 64);
// Appends the JSON text of a native output, the same text AppendValue makes of its
// data value. False (and nothing appended) wherever AppendValue could refuse: the
// caller then writes the data value.
bool AppendTyped(const Core::TypedOutput &output, std::string &out, int maxDepth = 64);
// Appends a JSON string literal; false when the text is not UTF-8.
bool AppendString(std::string_view text, std::string &out);

// Reads a value of the described type; a Dynamic description reads by the shape
// of the data. False with the problem recorded in `ctx`.
bool ValueFromJson(const nlohmann::json &json, const Data::TypeDesc &type,
                   Data::DataValuePtr &out, Binding::CodecContext &ctx);
// The same from an arena document.
bool ValueFromJson(const ArenaValue &json, const Data::TypeDesc &type, Data::DataValuePtr &out,
                   Binding::CodecContext &ctx);

} // namespace Ruvo::Protocol::Json
