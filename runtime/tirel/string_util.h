// Small string helpers.
#pragma once

#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace Tirel::StringUtil {

namespace Detail {
template <typename T> void Append(std::string &out, const T &value)
{
   if constexpr (std::is_convertible_v<const T &, std::string_view>) {
      out += std::string_view(value);
   } else if constexpr (std::is_same_v<T, char>) {
      out += value;
   } else if constexpr (std::is_same_v<T, bool>) {
      out += value ? "true" : "false";
   } else if constexpr (std::is_arithmetic_v<T>) {
      out += std::to_string(value);
   } else {
      std::ostringstream stream;
      stream << value;
      out += stream.str();
   }
}
} // namespace Detail

// Concatenates the text of every argument: strings as they are, numbers in
// decimal, anything else through its operator<<.
template <typename... Args> std::string StrCat(const Args &...args)
{
   std::string out;
   (Detail::Append(out, args), ...);
   return out;
}

// The text without leading and trailing white space (space, \t, \n, \r, \v, \f).
std::string Trim(std::string_view text);

} // namespace Tirel::StringUtil
