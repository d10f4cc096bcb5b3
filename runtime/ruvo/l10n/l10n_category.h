#pragma once

#include <system_error>

namespace Ruvo::L10n {

enum class L10nError {
   LocaleNotSupported = 1,
   FormatLocaleNotSupported = 2,
   InvalidLocaleHeader = 3,
   NoFormatString = 4,
   UnknownMessageId = 5,
};

const std::error_category &L10nCategory();
std::error_code make_error_code(L10nError e);

} // namespace Ruvo::L10n

template <>
struct std::is_error_code_enum<Ruvo::L10n::L10nError> : std::true_type {};
