// Declares an operation once: wire name, parameters (type and wire name), result.
// Binders and stubs derive all encoding and decoding from the declaration.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>

#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/core/signature_registry.h"

namespace Ruvo::Binding {

template <size_t N>
struct FixedName {
   char text[N];
   constexpr FixedName(const char (&s)[N])
   {
      for (size_t i = 0; i < N; ++i) {
         text[i] = s[i];
      }
   }
   constexpr std::string_view View() const { return {text, N - 1}; }
};

template <class T, FixedName Name>
struct Param {
   using Type = T;
   static constexpr std::string_view kName = Name.View();
};

template <FixedName Name, class R, class... Params>
struct Operation {
   static constexpr std::string_view kName = Name.View();
   using Result = R;
   using ParamTuple = std::tuple<typename Params::Type...>;

   // The input is a structure with one field per parameter.
   static const Data::TypeDesc &InputDesc()
   {
      static const Data::TypeDesc desc = [] {
         Data::TypeDesc d;
         d.kind = Data::TypeKind::Structure;
         d.name = std::string(kName) + ".input";
         (d.fields.push_back({std::string(Params::kName), &Codec<typename Params::Type>::Desc()}), ...);
         return d;
      }();
      return desc;
   }
   static const Data::TypeDesc &ResultDesc() { return Codec<R>::Desc(); }

   static Data::DataValuePtr EncodeInput(CodecContext &ctx, const typename Params::Type &...args)
   {
      auto input = std::make_shared<Data::StructValue>(InputDesc().name);
      (input->SetField(std::string(Params::kName), Codec<typename Params::Type>::ToValue(args, ctx)), ...);
      return ctx.Ok() ? input : nullptr;
   }

   static bool DecodeInput(const Data::DataValuePtr &input, ParamTuple &out, CodecContext &ctx)
   {
      const auto *s = Data::As<Data::CompoundValue>(UnwrapOptional(input));
      if (s == nullptr) {
         if constexpr (sizeof...(Params) == 0) {
            return true; // nothing to read; absent input is fine
         }
         return ctx.InvalidType("structure", input);
      }
      return DecodeParams(*s, out, ctx, std::index_sequence_for<Params...>{});
   }

private:
   template <size_t... I>
   static bool DecodeParams(const Data::CompoundValue &s, ParamTuple &out, CodecContext &ctx,
                            std::index_sequence<I...>)
   {
      return (DecodeParam<Params, I>(s, out, ctx) && ...);
   }
   template <class P, size_t I>
   static bool DecodeParam(const Data::CompoundValue &s, ParamTuple &out, CodecContext &ctx)
   {
      using T = typename P::Type;
      std::string name(P::kName);
      Data::DataValuePtr field = s.GetField(name);
      if (!field && Codec<T>::Desc().kind != Data::TypeKind::Optional) {
         return ctx.MissingField(name);
      }
      PathScope scope(ctx, name);
      return Codec<T>::FromValue(field, std::get<I>(out), ctx);
   }
};

// An interface: its identifier and its operations.
template <FixedName Id, class... Ops>
struct InterfaceDecl {
   static constexpr std::string_view kId = Id.View();
   using Operations = std::tuple<Ops...>;

   static std::string MethodText(std::string_view operation)
   {
      return std::string(kId) + "." + std::string(operation);
   }

   // Makes the operations' types known to readers of wire data; runs once.
   static void RegisterSignatures()
   {
      static const bool registered = [] {
         (Core::SignatureRegistry::Instance().Register(
             MethodText(Ops::kName), {&Ops::InputDesc(), &Ops::ResultDesc()}),
          ...);
         return true;
      }();
      (void)registered;
   }
};

} // namespace Ruvo::Binding
