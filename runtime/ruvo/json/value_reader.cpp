#include <cstdint>

#include "runtime/hostlib/base64.h"
#include "runtime/ruvo/binding/scalar_codec.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/json/value_codec.h"

namespace Ruvo::Protocol::Json {

using namespace Ruvo::Data;
using Binding::CodecContext;
using Binding::PathScope;
using nlohmann::json;

namespace {

const char *JsonTypeName(const json &j)
{
   switch (j.type()) {
   case json::value_t::null: return "null";
   case json::value_t::boolean: return "boolean";
   case json::value_t::number_integer:
   case json::value_t::number_unsigned: return "integer";
   case json::value_t::number_float: return "number";
   case json::value_t::string: return "string";
   case json::value_t::array: return "array";
   case json::value_t::object: return "object";
   default: return "other";
   }
}

bool WrongType(const char *expected, const json &j, CodecContext &ctx)
{
   // By the JSON type's name: the message says what arrived.
   ctx.InvalidType(expected, std::string(JsonTypeName(j)));
   return false;
}

bool ReadInteger(const json &j, int64_t &out)
{
   if (j.is_number_integer() && !j.is_number_unsigned()) {
      out = j.get<int64_t>();
      return true;
   }
   if (j.is_number_unsigned() && j.get<uint64_t>() <= static_cast<uint64_t>(INT64_MAX)) {
      out = static_cast<int64_t>(j.get<uint64_t>());
      return true;
   }
   return false;
}

bool ReadDynamic(const json &j, DataValuePtr &out, CodecContext &ctx);

bool ReadObjectFields(const json &j, const TypeDesc *element, StructValue &out, CodecContext &ctx)
{
   for (auto it = j.begin(); it != j.end(); ++it) {
      PathScope scope(ctx, it.key());
      DataValuePtr v;
      bool ok = element ? ValueFromJson(it.value(), *element, v, ctx) : ReadDynamic(it.value(), v, ctx);
      if (!ok) {
         return false;
      }
      out.SetField(it.key(), std::move(v));
   }
   return true;
}

bool ReadDynamic(const json &j, DataValuePtr &out, CodecContext &ctx)
{
   int64_t i = 0;
   switch (j.type()) {
   case json::value_t::null: out = MakeOptional(); return true;
   case json::value_t::boolean: out = MakeBoolean(j.get<bool>()); return true;
   case json::value_t::number_integer:
   case json::value_t::number_unsigned:
      if (!ReadInteger(j, i)) {
         return ctx.InvalidValue("integer outside the signed 64-bit range");
      }
      out = MakeInteger(i);
      return true;
   case json::value_t::number_float: out = MakeDouble(j.get<double>()); return true;
   case json::value_t::string: out = MakeString(j.get<std::string>()); return true;
   case json::value_t::array: {
      auto list = std::make_shared<ListValue>();
      size_t index = 0;
      for (const auto &item : j) {
         PathScope scope(ctx, "[" + std::to_string(index++) + "]");
         DataValuePtr v;
         if (!ReadDynamic(item, v, ctx)) {
            return false;
         }
         list->Add(std::move(v));
      }
      out = list;
      return true;
   }
   case json::value_t::object: {
      auto s = std::make_shared<StructValue>();
      if (!ReadObjectFields(j, nullptr, *s, ctx)) {
         return false;
      }
      out = s;
      return true;
   }
   default: return WrongType("value", j, ctx);
   }
}

bool ReadStructure(const json &j, const TypeDesc &type, CompoundValue &out, CodecContext &ctx)
{
   for (const auto &field : type.fields) {
      auto it = j.find(field.name);
      bool absent = it == j.end() || it->is_null();
      if (absent && field.type->kind != TypeKind::Optional && field.type->kind != TypeKind::Void) {
         return ctx.MissingField(field.name);
      }
      PathScope scope(ctx, field.name);
      DataValuePtr v;
      if (!ValueFromJson(absent ? json() : *it, *field.type, v, ctx)) {
         return false;
      }
      out.SetField(field.name, std::move(v));
   }
   // Fields the description does not know are dropped: a newer peer may add fields.
   return true;
}

bool ReadError(const json &j, const TypeDesc &type, DataValuePtr &out, CodecContext &ctx)
{
   auto name = j.find("name");
   auto fields = j.find("fields");
   if (name == j.end() || !name->is_string() || name->get_ref<const std::string &>().empty()) {
      return ctx.MissingField("name");
   }
   if (fields == j.end() || !fields->is_object()) {
      return ctx.MissingField("fields");
   }
   auto error = std::make_shared<ErrorValue>(name->get<std::string>());
   PathScope scope(ctx, "fields");
   static const TypeDesc messagesType{TypeKind::List, {}, &Binding::Codec<BaseMessage>::Desc(), {}, {}};
   auto messages = fields->find(StdErrors::kMessagesField);
   if (messages != fields->end() && !messages->is_null()) {
      PathScope inner(ctx, StdErrors::kMessagesField);
      DataValuePtr v;
      if (!ValueFromJson(*messages, messagesType, v, ctx)) {
         return false;
      }
      error->SetField(StdErrors::kMessagesField, v);
   } else {
      error->SetField(StdErrors::kMessagesField, std::make_shared<ListValue>());
   }
   for (auto it = fields->begin(); it != fields->end(); ++it) {
      if (it.key() == StdErrors::kMessagesField) {
         continue;
      }
      const TypeDesc *known = nullptr;
      for (const auto &f : type.fields) {
         if (f.name == it.key()) {
            known = f.type;
         }
      }
      PathScope inner(ctx, it.key());
      DataValuePtr v;
      if (!(known ? ValueFromJson(*it, *known, v, ctx) : ReadDynamic(*it, v, ctx))) {
         return false;
      }
      error->SetField(it.key(), std::move(v));
   }
   out = error;
   return true;
}

} // namespace

bool ValueFromJson(const json &j, const TypeDesc &type, DataValuePtr &out, CodecContext &ctx)
{
   int64_t i = 0;
   switch (type.kind) {
   case TypeKind::Dynamic: return ReadDynamic(j, out, ctx);
   case TypeKind::Void:
      if (!j.is_null()) {
         return WrongType("null", j, ctx);
      }
      out = MakeVoid();
      return true;
   case TypeKind::Boolean:
      if (!j.is_boolean()) {
         return WrongType("boolean", j, ctx);
      }
      out = MakeBoolean(j.get<bool>());
      return true;
   case TypeKind::Integer:
      if (!j.is_number_integer()) {
         return WrongType("integer", j, ctx);
      }
      if (!ReadInteger(j, i)) {
         return ctx.InvalidValue("integer outside the signed 64-bit range");
      }
      out = MakeInteger(i);
      return true;
   case TypeKind::Double:
      if (!j.is_number()) {
         return WrongType("number", j, ctx);
      }
      out = MakeDouble(j.get<double>());
      return true;
   case TypeKind::String:
   case TypeKind::Secret:
   case TypeKind::Enum:
   case TypeKind::Binary: break;
   case TypeKind::Optional:
      if (j.is_null()) {
         out = MakeOptional();
         return true;
      } else {
         DataValuePtr inner;
         if (!ValueFromJson(j, *type.element, inner, ctx)) {
            return false;
         }
         out = MakeOptional(std::move(inner));
         return true;
      }
   case TypeKind::List: {
      if (!j.is_array()) {
         return WrongType("array", j, ctx);
      }
      auto list = std::make_shared<ListValue>();
      size_t index = 0;
      for (const auto &item : j) {
         PathScope scope(ctx, "[" + std::to_string(index++) + "]");
         DataValuePtr v;
         if (!ValueFromJson(item, *type.element, v, ctx)) {
            return false;
         }
         list->Add(std::move(v));
      }
      out = list;
      return true;
   }
   case TypeKind::Map:
   case TypeKind::Structure: {
      if (!j.is_object()) {
         return WrongType("object", j, ctx);
      }
      auto s = std::make_shared<StructValue>(type.kind == TypeKind::Structure ? type.name : "");
      bool ok = type.kind == TypeKind::Map ? ReadObjectFields(j, type.element, *s, ctx)
                                           : ReadStructure(j, type, *s, ctx);
      out = s;
      return ok;
   }
   case TypeKind::Error:
      if (!j.is_object()) {
         return WrongType("object", j, ctx);
      }
      return ReadError(j, type, out, ctx);
   }

   // The text kinds.
   if (!j.is_string()) {
      return WrongType("string", j, ctx);
   }
   const auto &text = j.get_ref<const std::string &>();
   if (type.kind == TypeKind::String) {
      out = MakeString(text);
   } else if (type.kind == TypeKind::Secret) {
      out = MakeSecret(SecretString(text));
   } else if (type.kind == TypeKind::Enum) {
      bool known = false;
      for (const auto &name : type.enumValues) {
         known = known || name == text;
      }
      if (!known) {
         return ctx.InvalidValue("unknown enumeration value");
      }
      out = MakeString(text);
   } else {
      Binary bytes(Base64_DecodedLength(text.data(), text.size()));
      size_t length = 0;
      if (!Base64_DecodeBuffer(text.data(), text.size(), bytes.data(), bytes.size(), &length)) {
         return ctx.InvalidValue("not base64 text");
      }
      bytes.resize(length);
      out = MakeBinary(std::move(bytes));
   }
   return true;
}

} // namespace Ruvo::Protocol::Json
