// Locale-aware rendering of message arguments.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/l10n/locale_spec.h"

namespace Ruvo::L10n {

using IntegerFormatter =
   std::function<std::string(int64_t value, const LocaleSpec &locale, std::error_code &ec)>;
using DoubleFormatter =
   std::function<std::string(double value, const LocaleSpec &locale, std::error_code &ec)>;
using DateTimeFormatter =
   std::function<std::string(const DateTime &value, const LocaleSpec &locale, std::error_code &ec)>;

// "C": plain digits. "en…": digits grouped by thousands with ",". Other format
// locales are refused (L10n code 2) and rendered as "C".
std::string StandardIntegerFormatter(int64_t value, const LocaleSpec &locale, std::error_code &ec);
std::string StandardDoubleFormatter(double value, const LocaleSpec &locale, std::error_code &ec);
// ISO 8601 in UTC; other time zones are refused (L10n code 2) and rendered in UTC.
std::string StandardDateTimeFormatter(const DateTime &value, const LocaleSpec &locale,
                                      std::error_code &ec);

class ArgumentFormatter {
public:
   ArgumentFormatter(IntegerFormatter integer = StandardIntegerFormatter,
                     DoubleFormatter real = StandardDoubleFormatter,
                     DateTimeFormatter dateTime = StandardDateTimeFormatter)
      : mInteger(std::move(integer)), mDouble(std::move(real)), mDateTime(std::move(dateTime))
   {
   }
   std::string Format(const MessageArg &arg, const LocaleSpec &locale, std::error_code &ec) const;

private:
   IntegerFormatter mInteger;
   DoubleFormatter mDouble;
   DateTimeFormatter mDateTime;
};

} // namespace Ruvo::L10n
