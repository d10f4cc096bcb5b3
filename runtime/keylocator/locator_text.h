// The locator text format (docs/key-locator.md): parsing and writing.
#pragma once

#include <string>
#include <string_view>

#include "runtime/keylocator/key_locator.h"

namespace KeyLoc {

inline constexpr std::string_view kScheme = "keyloc";
inline constexpr unsigned kVersion = 1;

struct ParsedLocator {
   bool indirect = false;
   std::string provider; // indirect
   std::string keyId;    // indirect
   std::string keyName;  // direct
};

// `text` is the whole locator (no NUL inside; the caller stops at the first).
KeyLocError ParseLocator(std::string_view text, ParsedLocator &out);
KeyLocError FormatIndirect(std::string_view provider, std::string_view keyId, std::string &text);
KeyLocError FormatDirect(std::string_view keyName, std::string &text);

// The rules for decoded texts, shared with the key cache calls.
bool ValidProvider(std::string_view provider);
bool ValidKeyId(std::string_view keyId);

} // namespace KeyLoc
