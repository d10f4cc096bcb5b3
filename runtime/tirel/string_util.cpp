#include "runtime/tirel/string_util.h"

namespace Tirel::StringUtil {

std::string Trim(std::string_view text)
{
   constexpr std::string_view kSpace = " \t\n\r\v\f";
   size_t begin = text.find_first_not_of(kSpace);
   if (begin == std::string_view::npos) {
      return {};
   }
   size_t end = text.find_last_not_of(kSpace);
   return std::string(text.substr(begin, end - begin + 1));
}

} // namespace Tirel::StringUtil
