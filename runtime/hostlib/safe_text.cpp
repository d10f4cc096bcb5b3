#include "runtime/hostlib/safe_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace Hostlib {

std::string EscapeText(std::string_view text, size_t maxBytes)
{
   std::string_view shown = text.substr(0, maxBytes);
   std::string out;
   out.reserve(shown.size());
   for (unsigned char c : shown) {
      if (c < 0x20 || c > 0x7E || c == '\\' || c == '"') {
         char escaped[8];
         snprintf(escaped, sizeof escaped, "\\x%02x", c);
         out += escaped;
      } else {
         out += static_cast<char>(c);
      }
   }
   if (shown.size() < text.size()) {
      out += "...";
   }
   return out;
}

namespace {

// Length of the well-formed UTF-8 sequence at `pos` and its code point; 0 when
// the bytes there are not one (overlong, surrogate, beyond U+10FFFF, truncated).
size_t Utf8Sequence(std::string_view text, size_t pos, uint32_t &cp)
{
   const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
   const unsigned char lead = byte(0);
   size_t length;
   uint32_t min;
   if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, cp = lead & 0x1Fu, min = 0x80;
   } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, cp = lead & 0x0Fu, min = 0x800;
   } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, cp = lead & 0x07u, min = 0x10000;
   } else {
      return 0;
   }
   if (text.size() - pos < length) {
      return 0;
   }
   for (size_t i = 1; i < length; ++i) {
      if ((byte(i) & 0xC0) != 0x80) {
         return 0;
      }
      cp = (cp << 6) | (byte(i) & 0x3Fu);
   }
   if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return 0;
   }
   return length;
}

// Characters that a terminal or a log viewer may act on rather than show.
bool Disruptive(uint32_t cp)
{
   return (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
          (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void AppendEscaped(std::string &out, std::string_view bytes)
{
   static const char kHex[] = "0123456789abcdef";
   for (unsigned char c : bytes) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
   }
}

} // namespace

void AppendLogSafe(std::string &out, std::string_view text, size_t maxBytes, size_t wholeSize)
{
   wholeSize = std::max(wholeSize, text.size());
   const size_t start = out.size();
   size_t pos = 0;
   while (pos < text.size()) {
      const auto c = static_cast<unsigned char>(text[pos]);
      size_t length = 1;
      bool escape;
      if (c < 0x80) {
         escape = c < 0x20 || c == 0x7F;
      } else {
         uint32_t cp = 0;
         length = Utf8Sequence(text, pos, cp);
         escape = length == 0 || Disruptive(cp);
         length = length == 0 ? 1 : length;
      }
      const size_t cost = escape ? 4 * length : length;
      if (out.size() - start + cost > maxBytes) {
         break;
      }
      if (escape) {
         AppendEscaped(out, text.substr(pos, length));
      } else {
         out.append(text.data() + pos, length);
      }
      pos += length;
   }
   if (pos < wholeSize) {
      out += "...[cut ";
      out += std::to_string(wholeSize - pos);
      out += " bytes]";
   }
}

} // namespace Hostlib
