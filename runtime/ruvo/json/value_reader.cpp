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

// What the reader asks of a document, for each kind of document it reads.
enum class Shape { Null, Boolean, Integer, Number, String, Array, Object, Other };

template <class Node>
struct Access;

template <>
struct Access<json> {
   static Shape ShapeOf(const json &j)
   {
      switch (j.type()) {
      case json::value_t::null: return Shape::Null;
      case json::value_t::boolean: return Shape::Boolean;
      case json::value_t::number_integer:
      case json::value_t::number_unsigned: return Shape::Integer;
      case json::value_t::number_float: return Shape::Number;
      case json::value_t::string: return Shape::String;
      case json::value_t::array: return Shape::Array;
      case json::value_t::object: return Shape::Object;
      default: return Shape::Other;
      }
   }
   static bool Boolean(const json &j) { return j.get<bool>(); }
   static bool Integer(const json &j, int64_t &out)
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
   static double Number(const json &j) { return j.get<double>(); }
   static std::string_view Text(const json &j) { return j.get_ref<const std::string &>(); }
   static const json *Find(const json &j, const std::string &key)
   {
      auto it = j.find(key);
      return it == j.end() ? nullptr : &*it;
   }
   // Members in the order of their names.
   template <class F>
   static bool Members(const json &j, F &&f)
   {
      for (auto it = j.begin(); it != j.end(); ++it) {
         if (!f(std::string_view(it.key()), it.value())) {
            return false;
         }
      }
      return true;
   }
   // The items of an array, as a range.
   static const json &Items(const json &j) { return j; }
   static const json &Null()
   {
      static const json null;
      return null;
   }
};

template <>
struct Access<ArenaValue> {
   static Shape ShapeOf(const ArenaValue &j)
   {
      switch (j.GetType()) {
      case rapidjson::kNullType: return Shape::Null;
      case rapidjson::kFalseType:
      case rapidjson::kTrueType: return Shape::Boolean;
      case rapidjson::kNumberType: return j.IsDouble() ? Shape::Number : Shape::Integer;
      case rapidjson::kStringType: return Shape::String;
      case rapidjson::kArrayType: return Shape::Array;
      case rapidjson::kObjectType: return Shape::Object;
      }
      return Shape::Other;
   }
   static bool Boolean(const ArenaValue &j) { return j.GetBool(); }
   // The reader keeps integers within the signed range.
   static bool Integer(const ArenaValue &j, int64_t &out)
   {
      if (!j.IsInt64()) {
         return false;
      }
      out = j.GetInt64();
      return true;
   }
   static double Number(const ArenaValue &j) { return j.GetDouble(); }
   static std::string_view Text(const ArenaValue &j) { return TextOf(j); }
   static const ArenaValue *Find(const ArenaValue &j, const std::string &key)
   {
      return FindMember(j, key);
   }
   template <class F>
   static bool Members(const ArenaValue &j, F &&f)
   {
      for (const auto *member : SortedMembers(j)) {
         if (!f(TextOf(member->name), member->value)) {
            return false;
         }
      }
      return true;
   }
   static auto Items(const ArenaValue &j) { return j.GetArray(); }
   static const ArenaValue &Null()
   {
      static const ArenaValue null;
      return null;
   }
};

const char *ShapeName(Shape shape)
{
   switch (shape) {
   case Shape::Null: return "null";
   case Shape::Boolean: return "boolean";
   case Shape::Integer: return "integer";
   case Shape::Number: return "number";
   case Shape::String: return "string";
   case Shape::Array: return "array";
   case Shape::Object: return "object";
   default: return "other";
   }
}

template <class Node>
class Reader {
   using A = Access<Node>;

public:
   static bool Value(const Node &j, const TypeDesc &type, DataValuePtr &out, CodecContext &ctx);

private:
   static bool WrongType(const char *expected, const Node &j, CodecContext &ctx)
   {
      // By the JSON type's name: the message says what arrived.
      ctx.InvalidType(expected, std::string(ShapeName(A::ShapeOf(j))));
      return false;
   }
   static bool ReadObjectFields(const Node &j, const TypeDesc *element, StructValue &out,
                                CodecContext &ctx);
   static bool ReadDynamic(const Node &j, DataValuePtr &out, CodecContext &ctx);
   static bool ReadList(const Node &j, const TypeDesc *element, DataValuePtr &out,
                        CodecContext &ctx);
   static bool ReadStructure(const Node &j, const TypeDesc &type, CompoundValue &out,
                             CodecContext &ctx);
   static bool ReadError(const Node &j, const TypeDesc &type, DataValuePtr &out,
                         CodecContext &ctx);
};

template <class Node>
bool Reader<Node>::ReadObjectFields(const Node &j, const TypeDesc *element, StructValue &out,
                                    CodecContext &ctx)
{
   return A::Members(j, [&](std::string_view key, const Node &value) {
      std::string name(key);
      PathScope scope(ctx, name);
      DataValuePtr v;
      if (!(element ? Value(value, *element, v, ctx) : ReadDynamic(value, v, ctx))) {
         return false;
      }
      out.SetField(std::move(name), std::move(v));
      return true;
   });
}

// Items read by the element's description, or by their shape without one.
template <class Node>
bool Reader<Node>::ReadList(const Node &j, const TypeDesc *element, DataValuePtr &out,
                            CodecContext &ctx)
{
   auto list = std::make_shared<ListValue>();
   size_t index = 0;
   for (const Node &item : A::Items(j)) {
      PathScope scope(ctx, "[" + std::to_string(index++) + "]");
      DataValuePtr v;
      if (!(element ? Value(item, *element, v, ctx) : ReadDynamic(item, v, ctx))) {
         return false;
      }
      list->Add(std::move(v));
   }
   out = list;
   return true;
}

template <class Node>
bool Reader<Node>::ReadDynamic(const Node &j, DataValuePtr &out, CodecContext &ctx)
{
   int64_t i = 0;
   switch (A::ShapeOf(j)) {
   case Shape::Null: out = MakeOptional(); return true;
   case Shape::Boolean: out = MakeBoolean(A::Boolean(j)); return true;
   case Shape::Integer:
      if (!A::Integer(j, i)) {
         return ctx.InvalidValue("integer outside the signed 64-bit range");
      }
      out = MakeInteger(i);
      return true;
   case Shape::Number: out = MakeDouble(A::Number(j)); return true;
   case Shape::String: out = MakeString(std::string(A::Text(j))); return true;
   case Shape::Array: return ReadList(j, nullptr, out, ctx);
   case Shape::Object: {
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

template <class Node>
bool Reader<Node>::ReadStructure(const Node &j, const TypeDesc &type, CompoundValue &out,
                                 CodecContext &ctx)
{
   for (const auto &field : type.fields) {
      const Node *found = A::Find(j, field.name);
      bool absent = found == nullptr || A::ShapeOf(*found) == Shape::Null;
      if (absent && field.type->kind != TypeKind::Optional && field.type->kind != TypeKind::Void) {
         return ctx.MissingField(field.name);
      }
      PathScope scope(ctx, field.name);
      DataValuePtr v;
      if (!Value(absent ? A::Null() : *found, *field.type, v, ctx)) {
         return false;
      }
      out.SetField(field.name, std::move(v));
   }
   // Fields the description does not know are dropped: a newer peer may add fields.
   return true;
}

template <class Node>
bool Reader<Node>::ReadError(const Node &j, const TypeDesc &type, DataValuePtr &out,
                             CodecContext &ctx)
{
   const Node *name = A::Find(j, "name");
   const Node *fields = A::Find(j, "fields");
   if (name == nullptr || A::ShapeOf(*name) != Shape::String || A::Text(*name).empty()) {
      return ctx.MissingField("name");
   }
   if (fields == nullptr || A::ShapeOf(*fields) != Shape::Object) {
      return ctx.MissingField("fields");
   }
   auto error = std::make_shared<ErrorValue>(std::string(A::Text(*name)));
   PathScope scope(ctx, "fields");
   static const TypeDesc messagesType{TypeKind::List, {}, &Binding::Codec<BaseMessage>::Desc(), {}, {}};
   const Node *messages = A::Find(*fields, StdErrors::kMessagesField);
   if (messages != nullptr && A::ShapeOf(*messages) != Shape::Null) {
      PathScope inner(ctx, StdErrors::kMessagesField);
      DataValuePtr v;
      if (!Value(*messages, messagesType, v, ctx)) {
         return false;
      }
      error->SetField(StdErrors::kMessagesField, v);
   } else {
      error->SetField(StdErrors::kMessagesField, std::make_shared<ListValue>());
   }
   bool ok = A::Members(*fields, [&](std::string_view key, const Node &value) {
      if (key == StdErrors::kMessagesField) {
         return true;
      }
      const TypeDesc *known = nullptr;
      for (const auto &f : type.fields) {
         if (f.name == key) {
            known = f.type;
         }
      }
      std::string fieldName(key);
      PathScope inner(ctx, fieldName);
      DataValuePtr v;
      if (!(known ? Value(value, *known, v, ctx) : ReadDynamic(value, v, ctx))) {
         return false;
      }
      error->SetField(std::move(fieldName), std::move(v));
      return true;
   });
   if (ok) {
      out = error;
   }
   return ok;
}

template <class Node>
bool Reader<Node>::Value(const Node &j, const TypeDesc &type, DataValuePtr &out, CodecContext &ctx)
{
   int64_t i = 0;
   const Shape shape = A::ShapeOf(j);
   switch (type.kind) {
   case TypeKind::Dynamic: return ReadDynamic(j, out, ctx);
   case TypeKind::Void:
      if (shape != Shape::Null) {
         return WrongType("null", j, ctx);
      }
      out = MakeVoid();
      return true;
   case TypeKind::Boolean:
      if (shape != Shape::Boolean) {
         return WrongType("boolean", j, ctx);
      }
      out = MakeBoolean(A::Boolean(j));
      return true;
   case TypeKind::Integer:
      if (shape != Shape::Integer) {
         return WrongType("integer", j, ctx);
      }
      if (!A::Integer(j, i)) {
         return ctx.InvalidValue("integer outside the signed 64-bit range");
      }
      out = MakeInteger(i);
      return true;
   case TypeKind::Double:
      if (shape != Shape::Integer && shape != Shape::Number) {
         return WrongType("number", j, ctx);
      }
      out = MakeDouble(A::Number(j));
      return true;
   case TypeKind::String:
   case TypeKind::Secret:
   case TypeKind::Enum:
   case TypeKind::Binary: break;
   case TypeKind::Optional:
      if (shape == Shape::Null) {
         out = MakeOptional();
         return true;
      } else {
         DataValuePtr inner;
         if (!Value(j, *type.element, inner, ctx)) {
            return false;
         }
         out = MakeOptional(std::move(inner));
         return true;
      }
   case TypeKind::List:
      if (shape != Shape::Array) {
         return WrongType("array", j, ctx);
      }
      return ReadList(j, type.element, out, ctx);
   case TypeKind::Map:
   case TypeKind::Structure: {
      if (shape != Shape::Object) {
         return WrongType("object", j, ctx);
      }
      auto s = std::make_shared<StructValue>(type.kind == TypeKind::Structure ? type.name : "");
      bool ok = type.kind == TypeKind::Map ? ReadObjectFields(j, type.element, *s, ctx)
                                           : ReadStructure(j, type, *s, ctx);
      out = s;
      return ok;
   }
   case TypeKind::Error:
      if (shape != Shape::Object) {
         return WrongType("object", j, ctx);
      }
      return ReadError(j, type, out, ctx);
   }

   // The text kinds.
   if (shape != Shape::String) {
      return WrongType("string", j, ctx);
   }
   const std::string_view text = A::Text(j);
   if (type.kind == TypeKind::String) {
      out = MakeString(std::string(text));
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
      out = MakeString(std::string(text));
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

} // namespace

bool ValueFromJson(const json &j, const TypeDesc &type, DataValuePtr &out, CodecContext &ctx)
{
   return Reader<json>::Value(j, type, out, ctx);
}

bool ValueFromJson(const ArenaValue &j, const TypeDesc &type, DataValuePtr &out, CodecContext &ctx)
{
   return Reader<ArenaValue>::Value(j, type, out, ctx);
}

} // namespace Ruvo::Protocol::Json
