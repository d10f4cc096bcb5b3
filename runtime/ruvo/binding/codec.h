// Conversion between native binding types and data values, with the type
// description of each native type. Supported: bool, int64_t, double, std::string,
// SecretString, Data::Binary, Ruvo::Void, enumerations with RuvoEnumNames,
// structures with Fields() (errors also with kErrorName), std::optional, std::vector,
// std::set, std::map<std::string, T>, std::shared_ptr, Data::DataValuePtr and
// shared dynamic structures.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "runtime/ruvo/binding/codec_context.h"
#include "runtime/ruvo/binding/scalar_codec.h"
#include "runtime/ruvo/core/async_result.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/type_desc.h"

namespace Ruvo::Binding {

template <class S, class M>
struct FieldRef {
   const char *name;
   M S::*member;
};

// One field of a binding structure: wire name and member.
template <class S, class M>
constexpr FieldRef<S, M> Field(const char *name, M S::*member)
{
   return {name, member};
}

template <class T>
concept BindingStruct = requires { T::Fields(); T::kStructName; };

template <class T>
concept BindingError = BindingStruct<T> && requires { T::kErrorName; };

template <class T>
concept BindingEnum = std::is_enum_v<T> && requires(T t) { RuvoEnumNames(t); };

template <class T>
struct Codec;

// Reads through optional wrappers, so that a present optional is accepted where a
// plain value is expected.
Data::DataValuePtr UnwrapOptional(const Data::DataValuePtr &value);

// Whether a structure field of this value is left out when written: unset
// optionals, as their data values are.
template <class T>
bool OmittedField(const T &)
{
   return false;
}
template <class T>
bool OmittedField(const std::optional<T> &v)
{
   return !v;
}
inline bool OmittedField(const Data::DataValuePtr &v)
{
   return !v || (v->GetType() == Data::DataType::Optional &&
                 !static_cast<const Data::OptionalValue &>(*v).IsSet());
}

template <class T>
struct Codec<std::optional<T>> {
   static const Data::TypeDesc &Desc()
   {
      static const Data::TypeDesc desc{Data::TypeKind::Optional, {}, &Codec<T>::Desc(), {}, {}};
      return desc;
   }
   static Data::DataValuePtr ToValue(const std::optional<T> &v, CodecContext &ctx)
   {
      return Data::MakeOptional(v ? Codec<T>::ToValue(*v, ctx) : nullptr);
   }
   static void Emit(const std::optional<T> &v, Data::ValueEmitter &e, CodecContext &ctx)
   {
      if (!v) {
         e.Null();
         return;
      }
      e.BeginOptional();
      Codec<T>::Emit(*v, e, ctx);
      e.EndOptional();
   }
   static bool FromValue(const Data::DataValuePtr &value, std::optional<T> &out, CodecContext &ctx)
   {
      Data::DataValuePtr inner = UnwrapOptional(value);
      if (!inner) {
         out.reset();
         return true;
      }
      T v{};
      if (!Codec<T>::FromValue(inner, v, ctx)) {
         return false;
      }
      out = std::move(v);
      return true;
   }
};

template <class T>
struct Codec<std::shared_ptr<T>> {
   static const Data::TypeDesc &Desc() { return Codec<T>::Desc(); }
   static Data::DataValuePtr ToValue(const std::shared_ptr<T> &v, CodecContext &ctx)
   {
      if (!v) {
         ctx.InvalidValue("required value is missing");
         return Data::MakeVoid();
      }
      return Codec<T>::ToValue(*v, ctx);
   }
   static void Emit(const std::shared_ptr<T> &v, Data::ValueEmitter &e, CodecContext &ctx)
   {
      if (!v) {
         ctx.InvalidValue("required value is missing");
         e.Null();
         return;
      }
      Codec<T>::Emit(*v, e, ctx);
   }
   static bool FromValue(const Data::DataValuePtr &value, std::shared_ptr<T> &out, CodecContext &ctx)
   {
      auto v = std::make_shared<T>();
      if (!Codec<T>::FromValue(value, *v, ctx)) {
         return false;
      }
      out = std::move(v);
      return true;
   }
};

// Shared immutable records: read into a fresh object, then shared.
template <class T>
struct Codec<std::shared_ptr<const T>> {
   static const Data::TypeDesc &Desc() { return Codec<T>::Desc(); }
   static Data::DataValuePtr ToValue(const std::shared_ptr<const T> &v, CodecContext &ctx)
   {
      if (!v) {
         ctx.InvalidValue("required value is missing");
         return Data::MakeVoid();
      }
      return Codec<T>::ToValue(*v, ctx);
   }
   static void Emit(const std::shared_ptr<const T> &v, Data::ValueEmitter &e, CodecContext &ctx)
   {
      if (!v) {
         ctx.InvalidValue("required value is missing");
         e.Null();
         return;
      }
      Codec<T>::Emit(*v, e, ctx);
   }
   static bool FromValue(const Data::DataValuePtr &value, std::shared_ptr<const T> &out,
                         CodecContext &ctx)
   {
      auto v = std::make_shared<T>();
      if (!Codec<T>::FromValue(value, *v, ctx)) {
         return false;
      }
      out = std::move(v);
      return true;
   }
};

template <class Container, class T>
struct ListCodec {
   static const Data::TypeDesc &Desc()
   {
      static const Data::TypeDesc desc{Data::TypeKind::List, {}, &Codec<T>::Desc(), {}, {}};
      return desc;
   }
   static Data::DataValuePtr ToValue(const Container &items, CodecContext &ctx)
   {
      auto list = std::make_shared<Data::ListValue>();
      if constexpr (requires { items.size(); }) {
         list->Reserve(items.size());
      }
      for (const auto &item : items) {
         list->Add(Codec<T>::ToValue(item, ctx));
      }
      return list;
   }
   static void Emit(const Container &items, Data::ValueEmitter &e, CodecContext &ctx)
   {
      e.BeginList();
      for (const auto &item : items) {
         Codec<T>::Emit(item, e, ctx);
      }
      e.EndList();
   }
   static bool FromValue(const Data::DataValuePtr &value, Container &out, CodecContext &ctx)
   {
      const auto *list = Data::As<Data::ListValue>(UnwrapOptional(value));
      if (list == nullptr) {
         return ctx.InvalidType("list", value);
      }
      out.clear();
      size_t index = 0;
      for (const auto &item : list->Items()) {
         PathScope scope(ctx, "[" + std::to_string(index++) + "]");
         T v{};
         if (!Codec<T>::FromValue(item, v, ctx)) {
            return false;
         }
         if constexpr (requires { out.push_back(std::move(v)); }) {
            out.push_back(std::move(v));
         } else {
            out.insert(std::move(v));
         }
      }
      return true;
   }
};

template <class T>
struct Codec<std::vector<T>> : ListCodec<std::vector<T>, T> {};
template <class T>
struct Codec<std::set<T>> : ListCodec<std::set<T>, T> {};

template <class T>
struct Codec<std::map<std::string, T>> {
   static const Data::TypeDesc &Desc()
   {
      static const Data::TypeDesc desc{Data::TypeKind::Map, {}, &Codec<T>::Desc(), {}, {}};
      return desc;
   }
   static Data::DataValuePtr ToValue(const std::map<std::string, T> &items, CodecContext &ctx)
   {
      auto map = std::make_shared<Data::StructValue>();
      for (const auto &[key, item] : items) {
         map->SetField(key, Codec<T>::ToValue(item, ctx));
      }
      return map;
   }
   static void Emit(const std::map<std::string, T> &items, Data::ValueEmitter &e, CodecContext &ctx)
   {
      e.BeginStructure();
      for (const auto &[key, item] : items) {
         if (!OmittedField(item)) {
            e.Field(key);
            Codec<T>::Emit(item, e, ctx);
         }
      }
      e.EndStructure();
   }
   static bool FromValue(const Data::DataValuePtr &value, std::map<std::string, T> &out,
                         CodecContext &ctx)
   {
      const auto *map = Data::As<Data::StructValue>(UnwrapOptional(value));
      if (map == nullptr) {
         return ctx.InvalidType("map", value);
      }
      out.clear();
      for (const auto &[key, item] : map->Fields()) {
         PathScope scope(ctx, key);
         T v{};
         if (!Codec<T>::FromValue(item, v, ctx)) {
            return false;
         }
         out.emplace(key, std::move(v));
      }
      return true;
   }
};

template <BindingEnum T>
struct Codec<T> {
   static const Data::TypeDesc &Desc()
   {
      static const Data::TypeDesc desc = [] {
         Data::TypeDesc d;
         d.kind = Data::TypeKind::Enum;
         for (const auto &name : RuvoEnumNames(T{})) {
            d.enumValues.emplace_back(name);
         }
         return d;
      }();
      return desc;
   }
   static Data::DataValuePtr ToValue(const T &v, CodecContext &ctx)
   {
      const auto &names = Desc().enumValues;
      auto index = static_cast<size_t>(v);
      if (index >= names.size()) {
         ctx.InvalidValue("enumeration value " + std::to_string(index) + " has no name");
         return Data::MakeVoid();
      }
      return Data::MakeString(names[index]);
   }
   static void Emit(const T &v, Data::ValueEmitter &e, CodecContext &ctx)
   {
      const auto &names = Desc().enumValues;
      auto index = static_cast<size_t>(v);
      if (index >= names.size()) {
         ctx.InvalidValue("enumeration value " + std::to_string(index) + " has no name");
         e.Null();
         return;
      }
      e.Text(names[index]);
   }
   static bool FromValue(const Data::DataValuePtr &value, T &out, CodecContext &ctx)
   {
      size_t index = 0;
      if (!EnumIndexFromValue(UnwrapOptional(value), Desc().enumValues, index, ctx)) {
         return false;
      }
      out = static_cast<T>(index);
      return true;
   }
};

template <BindingStruct T>
struct Codec<T> {
   static const Data::TypeDesc &Desc()
   {
      static const Data::TypeDesc desc = [] {
         Data::TypeDesc d;
         d.kind = BindingError<T> ? Data::TypeKind::Error : Data::TypeKind::Structure;
         d.name = std::string(T::kStructName);
         std::apply(
            [&](const auto &...f) {
               (d.fields.push_back({f.name, &Codec<MemberType<decltype(f)>>::Desc()}), ...);
            },
            T::Fields());
         return d;
      }();
      return desc;
   }
   static Data::DataValuePtr ToValue(const T &v, CodecContext &ctx)
   {
      std::shared_ptr<Data::CompoundValue> out;
      if constexpr (BindingError<T>) {
         out = std::make_shared<Data::ErrorValue>(std::string(T::kErrorName));
      } else {
         out = std::make_shared<Data::StructValue>(std::string(T::kStructName));
      }
      std::apply(
         [&](const auto &...f) {
            out->ReserveFields(sizeof...(f));
            (out->SetField(f.name, Codec<MemberType<decltype(f)>>::ToValue(v.*(f.member), ctx)), ...);
         },
         T::Fields());
      return out;
   }
   static void Emit(const T &v, Data::ValueEmitter &e, CodecContext &ctx)
   {
      if constexpr (BindingError<T>) {
         e.Tree(*ToValue(v, ctx)); // errors carry fields of their own kind
      } else {
         e.BeginStructure();
         std::apply([&](const auto &...f) { (EmitField(f.name, v.*(f.member), e, ctx), ...); },
                    T::Fields());
         e.EndStructure();
      }
   }
   static bool FromValue(const Data::DataValuePtr &value, T &out, CodecContext &ctx)
   {
      const auto *compound = Data::As<Data::CompoundValue>(UnwrapOptional(value));
      if (compound == nullptr) {
         return ctx.InvalidType("structure", value);
      }
      return std::apply(
         [&](const auto &...f) { return (ReadField(*compound, f, out, ctx) && ...); }, T::Fields());
   }

private:
   template <class F>
   using MemberType = std::remove_cvref_t<decltype(std::declval<T &>().*(std::declval<F>().member))>;

   template <class M>
   static void EmitField(const char *name, const M &value, Data::ValueEmitter &e, CodecContext &ctx)
   {
      if (!OmittedField(value)) {
         e.Field(name);
         Codec<M>::Emit(value, e, ctx);
      }
   }

   template <class F>
   static bool ReadField(const Data::CompoundValue &compound, const F &f, T &out, CodecContext &ctx)
   {
      using M = MemberType<F>;
      Data::DataValuePtr field = compound.GetField(f.name);
      if (!field && Codec<M>::Desc().kind != Data::TypeKind::Optional) {
         return ctx.MissingField(f.name);
      }
      PathScope scope(ctx, f.name);
      return Codec<M>::FromValue(field, out.*(f.member), ctx);
   }
};

// Native value -> data value; nullptr with the reason in `ctx` on failure.
template <class T>
Data::DataValuePtr ToDataValue(const T &value, CodecContext &ctx)
{
   Data::DataValuePtr v = Codec<T>::ToValue(value, ctx);
   return ctx.Ok() ? v : nullptr;
}

template <class T>
bool FromDataValue(const Data::DataValuePtr &value, T &out, CodecContext &ctx)
{
   return Codec<T>::FromValue(value, out, ctx);
}

// Fills a dynamic structure from a binding structure (its name is kept).
template <BindingStruct T>
bool ToStructValue(const T &value, Data::StructValue &out, CodecContext &ctx)
{
   auto v = ToDataValue(value, ctx);
   const auto *compound = Data::As<Data::CompoundValue>(v);
   if (compound == nullptr) {
      return false;
   }
   for (const auto &[name, field] : compound->Fields()) {
      out.SetField(name, field);
   }
   return true;
}

} // namespace Ruvo::Binding
