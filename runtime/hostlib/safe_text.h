// Text that came from a peer, made safe to put into a log line or an error text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Hostlib {

// Control bytes, bytes outside printable ASCII, the backslash and the double quote
// become "\xNN", so that the text can neither forge nor break a line. At most
// `maxBytes` input bytes are shown; a longer text ends in "...".
std::string EscapeText(std::string_view text, size_t maxBytes = std::string_view::npos);

// Appends `text` to `out` in the form every log line uses: C0 controls (newline,
// ESC...), DEL, C1 controls, the Unicode line and paragraph separators, the
// bidirectional overrides and bytes that are not valid UTF-8 become "\xNN" per
// byte; all other text, UTF-8 included, is kept. At most `maxBytes` bytes are
// appended for the text itself; a longer text is cut (never inside a character or
// an escape) and followed by "...[cut N bytes]", N counting the input bytes left out.
// `wholeSize`, when larger than the text, says that `text` is only the beginning
// of a text of that size (the rest counts as left out).
void AppendLogSafe(std::string &out, std::string_view text, size_t maxBytes, size_t wholeSize = 0);

} // namespace Hostlib
