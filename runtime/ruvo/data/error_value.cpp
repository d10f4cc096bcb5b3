#include "runtime/ruvo/data/error_value.h"

#include "runtime/ruvo/data/format.h"

namespace Ruvo::Data {

namespace {

bool ParamFromValue(const DataValuePtr &value, MessageArg &out)
{
   if (const auto *s = As<StringValue>(value)) {
      out = s->GetValue();
   } else if (const auto *i = As<IntegerValue>(value)) {
      out = i->GetValue();
   } else if (const auto *d = As<DoubleValue>(value)) {
      out = d->GetValue();
   } else {
      return false;
   }
   return true;
}

DataValuePtr Unwrap(DataValuePtr value)
{
   while (const auto *opt = As<OptionalValue>(value)) {
      value = opt->GetValue();
   }
   return value;
}

} // namespace

DataValuePtr MessageToValue(const BaseMessage &message)
{
   auto value = std::make_shared<StructValue>(kLocalizableMessageName);
   value->SetField("id", MakeString(message.GetId()));
   value->SetField("default_message", MakeString(message.GetDefaultMessage()));
   auto args = std::make_shared<ListValue>();
   for (const auto &arg : message.GetArgs()) {
      args->Add(MakeString(arg));
   }
   value->SetField("args", args);
   auto params = std::make_shared<StructValue>();
   for (const auto &[name, arg] : message.GetParams()) {
      if (const auto *s = std::get_if<std::string>(&arg)) {
         params->SetField(name, MakeString(*s));
      } else if (const auto *i = std::get_if<int64_t>(&arg)) {
         params->SetField(name, MakeInteger(*i));
      } else if (const auto *t = std::get_if<DateTime>(&arg)) {
         params->SetField(name, MakeString(DateTimeToString(*t)));
      } else {
         params->SetField(name, MakeDouble(std::get<double>(arg)));
      }
   }
   value->SetField("params", MakeOptional(params->Fields().empty() ? nullptr : params));
   return value;
}

bool MessageFromValue(const DataValuePtr &value, BaseMessage &out)
{
   const auto *msg = As<StructValue>(Unwrap(value));
   if (msg == nullptr) {
      return false;
   }
   const auto *id = As<StringValue>(Unwrap(msg->GetField("id")));
   if (id == nullptr) {
      return false;
   }
   const auto *text = As<StringValue>(Unwrap(msg->GetField("default_message")));
   BaseMessage result(id->GetValue(), text ? text->GetValue() : std::string());
   if (const auto *args = As<ListValue>(Unwrap(msg->GetField("args")))) {
      for (const auto &arg : args->Items()) {
         if (const auto *s = As<StringValue>(Unwrap(arg))) {
            result.AddArg(s->GetValue());
         }
      }
   }
   if (const auto *params = As<StructValue>(Unwrap(msg->GetField("params")))) {
      for (const auto &[name, param] : params->Fields()) {
         MessageArg arg;
         if (ParamFromValue(Unwrap(param), arg)) {
            result.SetParam(name, std::move(arg));
         }
      }
   }
   out = std::move(result);
   return true;
}

std::shared_ptr<ListValue> MessagesToValue(const std::vector<BaseMessage> &messages, bool render)
{
   auto list = std::make_shared<ListValue>();
   for (const auto &message : messages) {
      if (render) {
         BaseMessage rendered = message;
         rendered.SetDefaultMessage(FormatTemplate(message.GetDefaultMessage(), message.GetArgs(),
                                                   message.GetParams()));
         list->Add(MessageToValue(rendered));
      } else {
         list->Add(MessageToValue(message));
      }
   }
   return list;
}

std::shared_ptr<ErrorValue> ErrorValue::Create(const std::string &name,
                                               const std::vector<BaseMessage> &messages)
{
   auto error = std::make_shared<ErrorValue>(name);
   error->SetField(StdErrors::kMessagesField, MessagesToValue(messages, true));
   return error;
}

std::vector<BaseMessage> ErrorValue::messages() const
{
   std::vector<BaseMessage> result;
   if (const auto *list = As<ListValue>(Unwrap(GetField(StdErrors::kMessagesField)))) {
      for (const auto &item : list->Items()) {
         BaseMessage message;
         if (MessageFromValue(item, message)) {
            result.push_back(std::move(message));
         }
      }
   }
   return result;
}

DataValuePtr ErrorValue::Copy() const
{
   return CopyError();
}

std::shared_ptr<ErrorValue> ErrorValue::CopyError() const
{
   auto copy = std::make_shared<ErrorValue>(GetName());
   copy->CopyFieldsFrom(*this);
   return copy;
}

namespace StdErrors {

ErrorValuePtr Make(const std::string &name, const std::vector<BaseMessage> &messages,
                   const std::string &errorTypeName)
{
   auto error = ErrorValue::Create(name, messages);
   error->SetField(kDataField, MakeOptional());
   error->SetField(kErrorTypeField,
                   MakeOptional(errorTypeName.empty() ? nullptr : MakeString(errorTypeName)));
   return error;
}

} // namespace StdErrors

} // namespace Ruvo::Data
