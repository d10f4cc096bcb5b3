#include "runtime/ruvo/std/error_factory.h"

#include "runtime/ruvo/data/format.h"

namespace Ruvo::Data {

std::shared_ptr<ListValue> ErrorFactory::CastMessages(const std::vector<BaseMessage> &messages,
                                                      const L10n::LocaleSpec &locale)
{
   L10n::ArgumentFormatter formatter;
   auto list = std::make_shared<ListValue>();
   for (const auto &message : messages) {
      BaseMessage rendered = message;
      std::error_code ec;
      std::error_code argEc;
      rendered.SetDefaultMessage(FormatTemplate(
         message.GetDefaultMessage(), message.GetArgs(), message.GetParams(),
         [&](const MessageArg &arg) { return formatter.Format(arg, locale, argEc); }, ec));
      list->Add(MessageToValue(rendered));
   }
   return list;
}

} // namespace Ruvo::Data
