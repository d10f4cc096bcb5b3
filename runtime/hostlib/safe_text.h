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

} // namespace Hostlib
