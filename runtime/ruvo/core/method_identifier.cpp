#include "runtime/ruvo/core/method_identifier.h"

namespace Ruvo::Core {

bool MethodIdentifier::FromString(std::string_view text, MethodIdentifier &out)
{
   size_t dot = text.rfind('.');
   if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) {
      return false;
   }
   out = MethodIdentifier(std::string(text.substr(0, dot)), std::string(text.substr(dot + 1)));
   return true;
}

} // namespace Ruvo::Core
