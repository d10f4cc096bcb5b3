#include "runtime/ruvo/l10n/formatters.h"

#include <charconv>

#include "runtime/ruvo/l10n/l10n_category.h"

namespace Ruvo::L10n {

namespace {

bool IsEnglish(const std::string &formatLocale)
{
   return formatLocale.size() >= 2 && formatLocale.compare(0, 2, "en") == 0 &&
          (formatLocale.size() == 2 || formatLocale[2] == '_');
}

// Returns true for "C"; sets code 2 for an unsupported locale.
bool UsesGrouping(const LocaleSpec &locale, std::error_code &ec)
{
   if (locale.formatLocale == "C" || locale.formatLocale.empty()) {
      return false;
   }
   if (IsEnglish(locale.formatLocale)) {
      return true;
   }
   ec = L10nError::FormatLocaleNotSupported;
   return false;
}

std::string GroupDigits(const std::string &digits)
{
   size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
   std::string out = digits.substr(0, start);
   size_t count = digits.size() - start;
   for (size_t i = 0; i < count; ++i) {
      if (i > 0 && (count - i) % 3 == 0) {
         out += ',';
      }
      out += digits[start + i];
   }
   return out;
}

} // namespace

std::string StandardIntegerFormatter(int64_t value, const LocaleSpec &locale, std::error_code &ec)
{
   std::string digits = std::to_string(value);
   return UsesGrouping(locale, ec) ? GroupDigits(digits) : digits;
}

std::string StandardDoubleFormatter(double value, const LocaleSpec &locale, std::error_code &ec)
{
   char buf[64];
   auto res = std::to_chars(buf, buf + sizeof buf, value);
   std::string text(buf, res.ptr);
   if (!UsesGrouping(locale, ec)) {
      return text;
   }
   size_t end = text.find_first_not_of("-0123456789");
   return GroupDigits(text.substr(0, end)) + (end == std::string::npos ? "" : text.substr(end));
}

std::string StandardDateTimeFormatter(const DateTime &value, const LocaleSpec &locale,
                                      std::error_code &ec)
{
   if (!locale.timeZone.empty() && locale.timeZone != "Etc/UTC" && locale.timeZone != "UTC") {
      ec = L10nError::FormatLocaleNotSupported;
   }
   return DateTimeToString(value);
}

std::string ArgumentFormatter::Format(const MessageArg &arg, const LocaleSpec &locale,
                                      std::error_code &ec) const
{
   if (const auto *s = std::get_if<std::string>(&arg)) {
      return *s;
   }
   if (const auto *i = std::get_if<int64_t>(&arg)) {
      return mInteger ? mInteger(*i, locale, ec) : MessageArgToString(arg);
   }
   if (const auto *d = std::get_if<double>(&arg)) {
      return mDouble ? mDouble(*d, locale, ec) : MessageArgToString(arg);
   }
   const auto &t = std::get<DateTime>(arg);
   return mDateTime ? mDateTime(t, locale, ec) : MessageArgToString(arg);
}

} // namespace Ruvo::L10n
