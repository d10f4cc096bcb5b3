// Turns standard error structures into error values, rendering their messages
// in a given locale.
#pragma once

#include <memory>
#include <vector>

#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/l10n/formatters.h"
#include "runtime/ruvo/std/std_errors.h"

namespace Ruvo::Data {

class ErrorFactory {
public:
   // The messages as a list value, each text filled in from its arguments with
   // the locale's number and date-time formats.
   static std::shared_ptr<ListValue> CastMessages(const std::vector<BaseMessage> &messages,
                                                  const L10n::LocaleSpec &locale);

   template <class E>
   static ErrorValuePtr ToErrorValue(const E &error, const L10n::LocaleSpec &locale = {})
   {
      Binding::CodecContext ctx;
      auto value = std::dynamic_pointer_cast<ErrorValue>(Binding::Codec<E>::ToValue(error, ctx));
      if (!value) {
         value = std::make_shared<ErrorValue>(E::kErrorName);
      }
      value->SetField(StdErrors::kMessagesField, CastMessages(error.messages, locale));
      return value;
   }

   // Reads an error value into the structure; false when it is of another error or
   // malformed. Messages that cannot be read are skipped.
   template <class E>
   static bool FromErrorValue(const ErrorValuePtr &value, E &out)
   {
      if (!value || value->GetName() != E::kErrorName) {
         return false;
      }
      Binding::CodecContext ctx;
      auto copy = value->CopyError();
      copy->SetField(StdErrors::kMessagesField, MessagesToValue(value->messages(), false));
      return Binding::Codec<E>::FromValue(copy, out, ctx);
   }
};

} // namespace Ruvo::Data
