#include "runtime/ruvo/l10n/localizer.h"

#include "runtime/ruvo/data/format.h"
#include "runtime/ruvo/l10n/l10n_category.h"

namespace Ruvo::L10n {

namespace {

class L10nCategoryImpl : public std::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Localization Error"; }
   std::string message(int code) const override
   {
      switch (code) {
      case 1: return "Requested locale not supported";
      case 2: return "Requested format locale not supported";
      case 3: return "Incorrect value of accept-language or ruvo-ctx-format-locale header";
      case 4: return "Default message formatter - no formatString";
      case 5: return "Unknown message ID - no formatString";
      default: return "localization error";
      }
   }
};

std::string LanguageOf(const std::string &locale)
{
   return locale.substr(0, locale.find('_'));
}

Data::ErrorValuePtr AppendMessages(const Data::ErrorValuePtr &error,
                                   const std::vector<BaseMessage> &rendered)
{
   Data::ErrorValuePtr copy = error ? error->CopyError()
                                    : Data::StdErrors::Make(Data::StdErrors::kError, {});
   auto list = Data::MessagesToValue(copy->messages(), false);
   for (const auto &message : rendered) {
      list->Add(Data::MessageToValue(message));
   }
   copy->SetField(Data::StdErrors::kMessagesField, list);
   return copy;
}

} // namespace

const std::error_category &L10nCategory()
{
   static const L10nCategoryImpl category;
   return category;
}

std::error_code make_error_code(L10nError e)
{
   return {static_cast<int>(e), L10nCategory()};
}

Localizer::Localizer(std::vector<std::string> locales, MessageSource source,
                     ArgumentFormatter formatter)
   : mLocales(std::move(locales)), mSource(std::move(source)), mFormatter(std::move(formatter))
{
   if (mLocales.empty()) {
      mLocales.push_back("en_US");
   }
}

std::string Localizer::SelectLanguage(const LocaleSpec &locale, std::error_code &ec) const
{
   for (const auto &wanted : locale.languages) {
      for (const auto &supported : mLocales) {
         if (wanted == supported) {
            return supported;
         }
      }
   }
   for (const auto &wanted : locale.languages) {
      if (wanted == "*") {
         return mLocales.front();
      }
      for (const auto &supported : mLocales) {
         if (LanguageOf(wanted) == LanguageOf(supported)) {
            return supported;
         }
      }
   }
   if (!locale.languages.empty()) {
      ec = L10nError::LocaleNotSupported;
   }
   return mLocales.front();
}

BaseMessage Localizer::Localize(const BaseMessage &message, const LocaleSpec &locale,
                                std::error_code &ec) const
{
   std::error_code langEc;
   std::string language = SelectLanguage(locale, langEc);
   std::string pattern;
   if (mSource) {
      std::error_code sourceEc;
      pattern = mSource(message.GetId(), language, sourceEc);
   }
   if (pattern.empty()) {
      pattern = message.GetDefaultMessage();
   }
   BaseMessage out = message;
   if (pattern.empty()) {
      ec = L10nError::UnknownMessageId;
      out.SetDefaultMessage(message.GetId());
      return out;
   }
   std::error_code argEc;
   std::string text = FormatTemplate(
      pattern, message.GetArgs(), message.GetParams(),
      [&](const MessageArg &arg) { return mFormatter.Format(arg, locale, argEc); }, ec);
   if (!ec && argEc) {
      ec = argEc;
   }
   out.SetDefaultMessage(std::move(text));
   return out;
}

Data::ErrorValuePtr Localizer::Render(const Data::ErrorValuePtr &error,
                                      const std::vector<NamedMessageBuilder> &builders,
                                      const LocaleSpec &locale) const
{
   std::vector<BaseMessage> rendered;
   for (const auto &builder : builders) {
      std::error_code ec;
      rendered.push_back(Localize(builder.Build(), locale, ec));
   }
   return AppendMessages(error, rendered);
}

Data::ErrorValuePtr RenderWithoutLocalizer(const Data::ErrorValuePtr &error,
                                           const std::vector<NamedMessageBuilder> &builders)
{
   std::vector<BaseMessage> rendered;
   for (const auto &builder : builders) {
      const BaseMessage &m = builder.Build();
      BaseMessage copy = m;
      std::string pattern = m.GetDefaultMessage().empty()
                               ? CoreMessage::DefaultMessageForId(m.GetId())
                               : m.GetDefaultMessage();
      copy.SetDefaultMessage(pattern.empty() ? m.GetId()
                                             : FormatTemplate(pattern, m.GetArgs(), m.GetParams()));
      rendered.push_back(std::move(copy));
   }
   return AppendMessages(error, rendered);
}

} // namespace Ruvo::L10n
