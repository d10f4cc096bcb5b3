#include "runtime/hostlib/safe_text.h"

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

} // namespace Hostlib
