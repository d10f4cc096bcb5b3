#include "runtime/ruvo/data/data_value.h"

#include <charconv>
#include <cstdio>

namespace Ruvo::Data {

namespace {

// Printing stops descending here; values built by the runtime never get this deep.
constexpr int kMaxPrintDepth = 64;

} // namespace

// Gives the printers of compound values access to their children's Print.
class ValuePrinter {
public:
   static void Print(const DataValuePtr &value, std::string &out, int depth)
   {
      if (!value) {
         out += "null";
      } else if (depth >= kMaxPrintDepth) {
         out += "...";
      } else {
         value->Print(out, depth + 1);
      }
   }
};

const char *DataTypeName(DataType type)
{
   switch (type) {
   case DataType::Void: return "void";
   case DataType::Boolean: return "boolean";
   case DataType::Integer: return "integer";
   case DataType::Double: return "double";
   case DataType::String: return "string";
   case DataType::Secret: return "secret";
   case DataType::Binary: return "binary";
   case DataType::Optional: return "optional";
   case DataType::List: return "list";
   case DataType::Structure: return "structure";
   case DataType::Error: return "error";
   }
   return "unknown";
}

std::string DataValue::ToString() const
{
   std::string out;
   Print(out, 0);
   return out;
}

void PrintScalar(std::string &out, bool value)
{
   out += value ? "true" : "false";
}

void PrintScalar(std::string &out, int64_t value)
{
   out += std::to_string(value);
}

void PrintScalar(std::string &out, double value)
{
   char buf[64];
   auto res = std::to_chars(buf, buf + sizeof buf, value);
   out.append(buf, res.ptr);
}

void PrintScalar(std::string &out, const std::string &value)
{
   out += '"';
   for (unsigned char c : value) {
      if (c == '"' || c == '\\') {
         out += '\\';
         out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
         char esc[8];
         snprintf(esc, sizeof esc, "\\x%02x", c);
         out += esc;
      } else {
         out += static_cast<char>(c);
      }
   }
   out += '"';
}

void PrintScalar(std::string &out, const SecretString &)
{
   out += SecretString::kMasked;
}

void PrintScalar(std::string &out, const Binary &value)
{
   out += "<binary " + std::to_string(value.size()) + " bytes>";
}

DataValuePtr VoidValue::Copy() const
{
   return std::make_shared<VoidValue>();
}

bool VoidValue::Equals(const DataValue &other) const
{
   return other.GetType() == DataType::Void;
}

void VoidValue::Print(std::string &out, int) const
{
   out += "void";
}

DataValuePtr OptionalValue::Copy() const
{
   return std::make_shared<OptionalValue>(mValue ? mValue->Copy() : nullptr);
}

bool OptionalValue::Equals(const DataValue &other) const
{
   if (other.GetType() != DataType::Optional) {
      return false;
   }
   const auto &o = static_cast<const OptionalValue &>(other);
   if (!mValue || !o.mValue) {
      return !mValue && !o.mValue;
   }
   return mValue->Equals(*o.mValue);
}

void OptionalValue::Print(std::string &out, int depth) const
{
   ValuePrinter::Print(mValue, out, depth);
}

DataValuePtr ListValue::Copy() const
{
   auto copy = std::make_shared<ListValue>();
   for (const auto &item : mItems) {
      copy->Add(item ? item->Copy() : nullptr);
   }
   return copy;
}

bool ListValue::Equals(const DataValue &other) const
{
   if (other.GetType() != DataType::List) {
      return false;
   }
   const auto &o = static_cast<const ListValue &>(other);
   if (o.mItems.size() != mItems.size()) {
      return false;
   }
   for (size_t i = 0; i < mItems.size(); ++i) {
      if (!mItems[i] || !o.mItems[i]) {
         if (mItems[i] != o.mItems[i]) {
            return false;
         }
      } else if (!mItems[i]->Equals(*o.mItems[i])) {
         return false;
      }
   }
   return true;
}

void ListValue::Print(std::string &out, int depth) const
{
   out += '[';
   for (size_t i = 0; i < mItems.size(); ++i) {
      if (i > 0) {
         out += ", ";
      }
      ValuePrinter::Print(mItems[i], out, depth);
   }
   out += ']';
}

size_t CompoundValue::Position(const std::string &name) const
{
   if (!mIndex.empty()) {
      auto it = mIndex.find(name);
      return it == mIndex.end() ? kNoField : it->second;
   }
   for (size_t i = 0; i < mFields.size(); ++i) {
      if (mFields[i].first == name) {
         return i;
      }
   }
   return kNoField;
}

void CompoundValue::SetField(std::string name, DataValuePtr value)
{
   size_t position = Position(name);
   if (position != kNoField) {
      mFields[position].second = std::move(value);
      return;
   }
   if (!mIndex.empty()) {
      mIndex.emplace(name, mFields.size());
   }
   mFields.emplace_back(std::move(name), std::move(value));
   if (mIndex.empty() && mFields.size() >= kIndexFrom) {
      for (size_t i = 0; i < mFields.size(); ++i) {
         mIndex.emplace(mFields[i].first, i);
      }
   }
}

DataValuePtr CompoundValue::GetField(const std::string &name) const
{
   size_t position = Position(name);
   return position == kNoField ? nullptr : mFields[position].second;
}

bool CompoundValue::Equals(const DataValue &other) const
{
   if (other.GetType() != GetType()) {
      return false;
   }
   const auto &o = static_cast<const CompoundValue &>(other);
   if (o.mName != mName || o.mFields.size() != mFields.size()) {
      return false;
   }
   for (size_t i = 0; i < mFields.size(); ++i) {
      const auto &a = mFields[i];
      const auto &b = o.mFields[i];
      if (a.first != b.first) {
         return false;
      }
      if (!a.second || !b.second) {
         if (a.second != b.second) {
            return false;
         }
      } else if (!a.second->Equals(*b.second)) {
         return false;
      }
   }
   return true;
}

void CompoundValue::CopyFieldsFrom(const CompoundValue &other)
{
   for (const auto &field : other.mFields) {
      SetField(field.first, field.second ? field.second->Copy() : nullptr);
   }
}

void CompoundValue::Print(std::string &out, int depth) const
{
   out += mName;
   out += '{';
   for (size_t i = 0; i < mFields.size(); ++i) {
      if (i > 0) {
         out += ", ";
      }
      out += mFields[i].first;
      out += ": ";
      ValuePrinter::Print(mFields[i].second, out, depth);
   }
   out += '}';
}

DataValuePtr StructValue::Copy() const
{
   auto copy = std::make_shared<StructValue>(GetName());
   copy->CopyFieldsFrom(*this);
   return copy;
}

DataValuePtr MakeVoid()
{
   return std::make_shared<VoidValue>();
}
DataValuePtr MakeBoolean(bool value)
{
   return std::make_shared<BooleanValue>(value);
}
DataValuePtr MakeInteger(int64_t value)
{
   return std::make_shared<IntegerValue>(value);
}
DataValuePtr MakeDouble(double value)
{
   return std::make_shared<DoubleValue>(value);
}
DataValuePtr MakeString(std::string value)
{
   return std::make_shared<StringValue>(std::move(value));
}
DataValuePtr MakeSecret(SecretString value)
{
   return std::make_shared<SecretValue>(std::move(value));
}
DataValuePtr MakeBinary(Binary value)
{
   return std::make_shared<BinaryValue>(std::move(value));
}
DataValuePtr MakeOptional(DataValuePtr value)
{
   return std::make_shared<OptionalValue>(std::move(value));
}

} // namespace Ruvo::Data
