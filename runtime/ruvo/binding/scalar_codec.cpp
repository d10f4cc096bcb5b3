#include "runtime/ruvo/binding/codec.h"

#include "runtime/hostlib/base64.h"

namespace Ruvo::Binding {

using namespace Ruvo::Data;

DataValuePtr UnwrapOptional(const DataValuePtr &value)
{
   DataValuePtr v = value;
   while (const auto *opt = As<OptionalValue>(v)) {
      v = opt->GetValue();
   }
   return v;
}

const TypeDesc &Codec<bool>::Desc()
{
   return TypeDesc::Of(TypeKind::Boolean);
}
void Codec<bool>::Emit(const bool &v, ValueEmitter &e, CodecContext &)
{
   e.Boolean(v);
}
DataValuePtr Codec<bool>::ToValue(const bool &v, CodecContext &)
{
   return MakeBoolean(v);
}
bool Codec<bool>::FromValue(const DataValuePtr &value, bool &out, CodecContext &ctx)
{
   const auto *b = As<BooleanValue>(UnwrapOptional(value));
   if (b == nullptr) {
      return ctx.InvalidType("boolean", value);
   }
   out = b->GetValue();
   return true;
}

const TypeDesc &Codec<int64_t>::Desc()
{
   return TypeDesc::Of(TypeKind::Integer);
}
void Codec<int64_t>::Emit(const int64_t &v, ValueEmitter &e, CodecContext &)
{
   e.Integer(v);
}
DataValuePtr Codec<int64_t>::ToValue(const int64_t &v, CodecContext &)
{
   return MakeInteger(v);
}
bool Codec<int64_t>::FromValue(const DataValuePtr &value, int64_t &out, CodecContext &ctx)
{
   const auto *i = As<IntegerValue>(UnwrapOptional(value));
   if (i == nullptr) {
      return ctx.InvalidType("integer", value);
   }
   out = i->GetValue();
   return true;
}

const TypeDesc &Codec<double>::Desc()
{
   return TypeDesc::Of(TypeKind::Double);
}
void Codec<double>::Emit(const double &v, ValueEmitter &e, CodecContext &)
{
   e.Double(v);
}
DataValuePtr Codec<double>::ToValue(const double &v, CodecContext &)
{
   return MakeDouble(v);
}
bool Codec<double>::FromValue(const DataValuePtr &value, double &out, CodecContext &ctx)
{
   DataValuePtr v = UnwrapOptional(value);
   if (const auto *d = As<DoubleValue>(v)) {
      out = d->GetValue();
   } else if (const auto *i = As<IntegerValue>(v)) {
      out = static_cast<double>(i->GetValue());
   } else {
      return ctx.InvalidType("double", value);
   }
   return true;
}

const TypeDesc &Codec<std::string>::Desc()
{
   return TypeDesc::Of(TypeKind::String);
}
void Codec<std::string>::Emit(const std::string &v, ValueEmitter &e, CodecContext &)
{
   e.Text(v);
}
DataValuePtr Codec<std::string>::ToValue(const std::string &v, CodecContext &)
{
   return MakeString(v);
}
bool Codec<std::string>::FromValue(const DataValuePtr &value, std::string &out, CodecContext &ctx)
{
   const auto *s = As<StringValue>(UnwrapOptional(value));
   if (s == nullptr) {
      return ctx.InvalidType("string", value);
   }
   out = s->GetValue();
   return true;
}

const TypeDesc &Codec<SecretString>::Desc()
{
   return TypeDesc::Of(TypeKind::Secret);
}
void Codec<SecretString>::Emit(const SecretString &v, ValueEmitter &e, CodecContext &)
{
   e.Text(v.Expose());
}
DataValuePtr Codec<SecretString>::ToValue(const SecretString &v, CodecContext &)
{
   return MakeSecret(v);
}
bool Codec<SecretString>::FromValue(const DataValuePtr &value, SecretString &out, CodecContext &ctx)
{
   DataValuePtr v = UnwrapOptional(value);
   if (const auto *secret = As<SecretValue>(v)) {
      out = secret->GetValue();
   } else if (const auto *s = As<StringValue>(v)) {
      out = SecretString(s->GetValue());
   } else {
      return ctx.InvalidType("secret", value);
   }
   return true;
}

const TypeDesc &Codec<Binary>::Desc()
{
   return TypeDesc::Of(TypeKind::Binary);
}
void Codec<Binary>::Emit(const Binary &v, ValueEmitter &e, CodecContext &)
{
   e.Bytes(v);
}
DataValuePtr Codec<Binary>::ToValue(const Binary &v, CodecContext &)
{
   return MakeBinary(v);
}
bool Codec<Binary>::FromValue(const DataValuePtr &value, Binary &out, CodecContext &ctx)
{
   DataValuePtr v = UnwrapOptional(value);
   if (const auto *b = As<BinaryValue>(v)) {
      out = b->GetValue();
      return true;
   }
   const auto *s = As<StringValue>(v);
   if (s == nullptr) {
      return ctx.InvalidType("binary", value);
   }
   // Untyped readers leave binary as its base64 text.
   const std::string &text = s->GetValue();
   out.resize(Base64_DecodedLength(text.data(), text.size()));
   size_t length = 0;
   if (!Base64_DecodeBuffer(text.data(), text.size(), out.data(), out.size(), &length)) {
      out.clear();
      return ctx.InvalidValue("not base64 text");
   }
   out.resize(length);
   return true;
}

const TypeDesc &Codec<Ruvo::Void>::Desc()
{
   return TypeDesc::Of(TypeKind::Void);
}
void Codec<Ruvo::Void>::Emit(const Ruvo::Void &, ValueEmitter &e, CodecContext &)
{
   e.Null();
}
DataValuePtr Codec<Ruvo::Void>::ToValue(const Ruvo::Void &, CodecContext &)
{
   return MakeVoid();
}
bool Codec<Ruvo::Void>::FromValue(const DataValuePtr &value, Ruvo::Void &, CodecContext &ctx)
{
   DataValuePtr v = UnwrapOptional(value);
   if (v && v->GetType() != DataType::Void) {
      return ctx.InvalidType("void", value);
   }
   return true;
}

const TypeDesc &Codec<DataValuePtr>::Desc()
{
   return TypeDesc::Of(TypeKind::Dynamic);
}
void Codec<DataValuePtr>::Emit(const DataValuePtr &v, ValueEmitter &e, CodecContext &ctx)
{
   e.Tree(*ToValue(v, ctx));
}
DataValuePtr Codec<DataValuePtr>::ToValue(const DataValuePtr &v, CodecContext &)
{
   return v ? v : MakeOptional();
}
bool Codec<DataValuePtr>::FromValue(const DataValuePtr &value, DataValuePtr &out, CodecContext &)
{
   out = value;
   return true;
}

const TypeDesc &Codec<StructValuePtr>::Desc()
{
   static const TypeDesc desc{TypeKind::Map, {}, &TypeDesc::Of(TypeKind::Dynamic), {}, {}};
   return desc;
}
void Codec<StructValuePtr>::Emit(const StructValuePtr &v, ValueEmitter &e, CodecContext &ctx)
{
   e.Tree(*ToValue(v, ctx));
}
DataValuePtr Codec<StructValuePtr>::ToValue(const StructValuePtr &v, CodecContext &ctx)
{
   if (!v) {
      ctx.InvalidValue("required structure is missing");
      return MakeVoid();
   }
   return v;
}
bool Codec<StructValuePtr>::FromValue(const DataValuePtr &value, StructValuePtr &out,
                                      CodecContext &ctx)
{
   auto s = std::dynamic_pointer_cast<StructValue>(UnwrapOptional(value));
   if (!s) {
      return ctx.InvalidType("structure", value);
   }
   out = std::move(s);
   return true;
}

const TypeDesc &Codec<BaseMessage>::Desc()
{
   static const TypeDesc desc = [] {
      static const TypeDesc args{TypeKind::List, {}, &TypeDesc::Of(TypeKind::String), {}, {}};
      static const TypeDesc params{TypeKind::Map, {}, &TypeDesc::Of(TypeKind::Dynamic), {}, {}};
      static const TypeDesc optParams{TypeKind::Optional, {}, &params, {}, {}};
      TypeDesc d;
      d.kind = TypeKind::Structure;
      d.name = kLocalizableMessageName;
      d.fields = {{"id", &TypeDesc::Of(TypeKind::String)},
                  {"default_message", &TypeDesc::Of(TypeKind::String)},
                  {"args", &args},
                  {"params", &optParams}};
      return d;
   }();
   return desc;
}
void Codec<BaseMessage>::Emit(const BaseMessage &v, ValueEmitter &e, CodecContext &ctx)
{
   e.Tree(*ToValue(v, ctx));
}
DataValuePtr Codec<BaseMessage>::ToValue(const BaseMessage &v, CodecContext &)
{
   return MessageToValue(v);
}
bool Codec<BaseMessage>::FromValue(const DataValuePtr &value, BaseMessage &out, CodecContext &ctx)
{
   if (!MessageFromValue(value, out)) {
      return ctx.InvalidType("message", value);
   }
   return true;
}

bool EnumIndexFromValue(const DataValuePtr &value, const std::vector<std::string> &names,
                        size_t &index, CodecContext &ctx)
{
   if (const auto *s = As<StringValue>(value)) {
      for (size_t i = 0; i < names.size(); ++i) {
         if (names[i] == s->GetValue()) {
            index = i;
            return true;
         }
      }
      return ctx.InvalidValue("unknown enumeration value");
   }
   if (const auto *i = As<IntegerValue>(value)) {
      if (i->GetValue() >= 0 && static_cast<uint64_t>(i->GetValue()) < names.size()) {
         index = static_cast<size_t>(i->GetValue());
         return true;
      }
      return ctx.InvalidValue("enumeration number out of range");
   }
   return ctx.InvalidType("enumeration", value);
}

} // namespace Ruvo::Binding
