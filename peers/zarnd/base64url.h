// Base64url without padding (RFC 4648 section 5), as tokens and wrapped keys use it.
#pragma once

#include <string>
#include <string_view>

namespace Zarnd {

std::string Base64UrlEncode(std::string_view bytes);
// Strict: only the URL-safe alphabet, no padding, no whitespace, and the unused
// low bits of the last character zero (one text per byte string).
bool Base64UrlDecode(std::string_view text, std::string &out);

} // namespace Zarnd
