#include "runtime/ruvo/core/method_identifier.h"

namespace Ruvo::Core {

namespace {

bool IsIdentifierChar(char c)
{
   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Identifiers joined by single dots: no empty part, nothing but identifier characters.
bool IsDottedIdentifier(std::string_view text)
{
   bool partStarted = false;
   for (char c : text) {
      if (c == '.') {
         if (!partStarted) {
            return false;
         }
         partStarted = false;
      } else if (IsIdentifierChar(c)) {
         partStarted = true;
      } else {
         return false;
      }
   }
   return partStarted;
}

} // namespace

bool MethodIdentifier::FromString(std::string_view text, MethodIdentifier &out)
{
   size_t dot = text.rfind('.');
   if (dot == std::string_view::npos || text.size() > kMaxTextBytes || !IsDottedIdentifier(text)) {
      return false;
   }
   out = MethodIdentifier(std::string(text.substr(0, dot)), std::string(text.substr(dot + 1)));
   return true;
}

} // namespace Ruvo::Core
