// The caller's locale: preferred languages, the locale numbers are formatted in,
// and the time zone of date-times.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/ruvo/core/execution_context.h"

namespace Ruvo::L10n {

struct LocaleSpec {
   std::vector<std::string> languages; // most preferred first, "en_US" form
   std::string formatLocale = "C";
   std::string timeZone = "Etc/UTC";
};

namespace LocaleSpecHelpers {

// From the application context entries that the transport fills from the
// "accept-language" and "ruvo-ctx-format-locale" headers; unusable entries are
// ignored (the transport has already refused them).
LocaleSpec ExtractLocaleSpec(const Core::ExecutionContext &context);

// "en-US,en;q=0.8" -> {"en_US", "en"}, ordered by quality. False when the text is
// not a language list.
bool ParseAcceptLanguage(std::string_view text, std::vector<std::string> &languages);
// "C", "en_US", "de-DE" and the like.
bool IsValidFormatLocale(std::string_view text);

} // namespace LocaleSpecHelpers

} // namespace Ruvo::L10n
