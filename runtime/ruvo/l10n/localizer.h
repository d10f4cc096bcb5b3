// Produces message texts in the caller's locale from message identifiers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/l10n/formatters.h"
#include "runtime/ruvo/l10n/locale_spec.h"

namespace Ruvo::L10n {

class Localizer {
public:
   // Template for an identifier in a language; empty when it has none.
   using MessageSource =
      std::function<std::string(const std::string &id, std::string_view language, std::error_code &ec)>;

   Localizer(std::vector<std::string> locales, MessageSource source,
             ArgumentFormatter formatter = ArgumentFormatter());

   const std::vector<std::string> &GetLocales() const { return mLocales; }

   // The first supported locale the caller prefers (exact, then by language);
   // the first supported one, with code 1, when none matches.
   std::string SelectLanguage(const LocaleSpec &locale, std::error_code &ec) const;

   // The message with its text produced: the source's template for the id, or the
   // message's own default text when the source has none (code 5 when neither
   // exists, and the text is then the id). Placeholders that cannot be filled stay
   // as written (Format category code in `ec`).
   BaseMessage Localize(const BaseMessage &message, const LocaleSpec &locale,
                        std::error_code &ec) const;

   // A copy of the error with the rendered builders appended to its messages.
   Data::ErrorValuePtr Render(const Data::ErrorValuePtr &error,
                              const std::vector<NamedMessageBuilder> &builders,
                              const LocaleSpec &locale) const;

private:
   std::vector<std::string> mLocales;
   MessageSource mSource;
   ArgumentFormatter mFormatter;
};

using LocalizerPtr = std::shared_ptr<const Localizer>;

// Renders pending messages with their own default texts when no localizer is at
// hand (a service bound without one).
Data::ErrorValuePtr RenderWithoutLocalizer(const Data::ErrorValuePtr &error,
                                           const std::vector<NamedMessageBuilder> &builders);

} // namespace Ruvo::L10n
