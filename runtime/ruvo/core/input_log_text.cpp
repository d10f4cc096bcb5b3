#include "runtime/ruvo/core/input_log_text.h"

#include "runtime/ruvo/core/signature_registry.h"

namespace Ruvo::Core {

namespace {

using Data::DataType;
using Data::TypeDesc;
using Data::TypeKind;

// Deeper values are shown as "..."; readers refuse much shallower input anyway.
constexpr int kMaxDepth = 32;

class Renderer {
public:
   explicit Renderer(size_t maxBytes) : mMaxBytes(maxBytes) {}

   void Typed(const Data::DataValuePtr &value, const TypeDesc *type, int depth)
   {
      if (Full(depth)) {
         return;
      }
      if (type == nullptr || type->kind == TypeKind::Dynamic || type->kind == TypeKind::Error) {
         Shape(value, depth);
         return;
      }
      if (!value) {
         mOut += "null";
         return;
      }
      if (type->kind == TypeKind::Secret || value->GetType() == DataType::Secret) {
         mOut += SecretString::kMasked;
         return;
      }
      switch (type->kind) {
      case TypeKind::Optional:
         if (const auto *optional = Data::As<Data::OptionalValue>(value)) {
            if (!optional->IsSet()) {
               mOut += "null";
            } else {
               Typed(optional->GetValue(), type->element, depth + 1);
            }
         } else {
            Typed(value, type->element, depth + 1);
         }
         return;
      case TypeKind::List:
         if (const auto *list = Data::As<Data::ListValue>(value)) {
            mOut += '[';
            for (size_t i = 0; i < list->Size() && !Full(depth); ++i) {
               mOut += i > 0 ? ", " : "";
               Typed(list->Items()[i], type->element, depth + 1);
            }
            mOut += ']';
            return;
         }
         break;
      case TypeKind::Map:
      case TypeKind::Structure:
         if (const auto *compound = Data::As<Data::CompoundValue>(value)) {
            Fields(*compound, type, depth);
            return;
         }
         break;
      default:
         // Scalars and enumerations of a declared, non-secret type print as they are.
         if (const auto *text = Data::As<Data::StringValue>(value);
             text && text->GetValue().size() > mMaxBytes) {
            Data::PrintScalar(mOut, text->GetValue().substr(0, mMaxBytes));
            Full(kMaxDepth);
            return;
         }
         if (value->GetType() != DataType::Optional && value->GetType() != DataType::List &&
             value->GetType() != DataType::Structure && value->GetType() != DataType::Error) {
            mOut += value->ToString();
            return;
         }
         break;
      }
      // The value does not have its declared shape: say what it is, not what it holds.
      Shape(value, depth);
   }

   // Names and kinds only.
   void Shape(const Data::DataValuePtr &value, int depth)
   {
      if (Full(depth)) {
         return;
      }
      if (!value) {
         mOut += "null";
         return;
      }
      switch (value->GetType()) {
      case DataType::Optional: {
         const auto &inner = static_cast<const Data::OptionalValue &>(*value).GetValue();
         if (!inner) {
            mOut += "null";
         } else {
            Shape(inner, depth + 1);
         }
         return;
      }
      case DataType::List:
         mOut += "<list of " + std::to_string(static_cast<const Data::ListValue &>(*value).Size()) +
                 ">";
         return;
      case DataType::Structure:
      case DataType::Error: {
         const auto &compound = static_cast<const Data::CompoundValue &>(*value);
         mOut += compound.GetName();
         mOut += '{';
         const auto &fields = compound.Fields();
         for (size_t i = 0; i < fields.size() && !Full(depth); ++i) {
            mOut += i > 0 ? ", " : "";
            mOut += fields[i].first;
         }
         mOut += '}';
         return;
      }
      default:
         mOut += '<';
         mOut += Data::DataTypeName(value->GetType());
         mOut += '>';
         return;
      }
   }

   std::string Take() { return std::move(mOut); }

private:
   void Fields(const Data::CompoundValue &compound, const TypeDesc *type, int depth)
   {
      mOut += compound.GetName();
      mOut += '{';
      const auto &fields = compound.Fields();
      for (size_t i = 0; i < fields.size() && !Full(depth); ++i) {
         mOut += i > 0 ? ", " : "";
         mOut += fields[i].first;
         mOut += ": ";
         Typed(fields[i].second, FieldType(type, fields[i].first), depth + 1);
      }
      mOut += '}';
   }

   // Null (shape only) for a field the declaration does not name.
   static const TypeDesc *FieldType(const TypeDesc *type, const std::string &name)
   {
      if (type->kind == TypeKind::Map) {
         return type->element;
      }
      for (const auto &field : type->fields) {
         if (field.name == name) {
            return field.type;
         }
      }
      return nullptr;
   }

   bool Full(int depth)
   {
      if (mOut.size() < mMaxBytes && depth < kMaxDepth) {
         return false;
      }
      if (!mCut) {
         mOut += "...";
         mCut = true;
      }
      return true;
   }

   const size_t mMaxBytes;
   std::string mOut;
   bool mCut = false;
};

} // namespace

std::string ValueLogText(const Data::DataValuePtr &value, const Data::TypeDesc *declared,
                         size_t maxBytes)
{
   Renderer renderer(maxBytes);
   if (declared != nullptr) {
      renderer.Typed(value, declared, 0);
   } else {
      renderer.Shape(value, 0);
   }
   return renderer.Take();
}

std::string InputLogText(const std::string &methodText, const Data::DataValuePtr &input,
                         size_t maxBytes)
{
   auto signature = SignatureRegistry::Instance().Find(methodText);
   return ValueLogText(input, signature ? signature->input : nullptr, maxBytes);
}

} // namespace Ruvo::Core
