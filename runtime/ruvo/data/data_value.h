// Data values: the runtime's representation of every parameter, result and error.
// Values are built, then shared through DataValuePtr; a shared value is not changed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/ruvo/data/secret_string.h"

namespace Ruvo::Data {

enum class DataType {
   Void,
   Boolean,
   Integer,
   Double,
   String,
   Secret,
   Binary,
   Optional,
   List,
   Structure,
   Error,
};

const char *DataTypeName(DataType type);

class DataValue;
using DataValuePtr = std::shared_ptr<DataValue>;
using Binary = std::vector<uint8_t>;

class DataValue {
public:
   explicit DataValue(DataType type) : mType(type) {}
   virtual ~DataValue() = default;
   DataValue(const DataValue &) = delete;
   DataValue &operator=(const DataValue &) = delete;

   DataType GetType() const { return mType; }
   // Printable form for logs: secrets are masked and binary shows only its size.
   std::string ToString() const;
   virtual DataValuePtr Copy() const = 0;
   virtual bool Equals(const DataValue &other) const = 0;

protected:
   friend class ValuePrinter;
   virtual void Print(std::string &out, int depth) const = 0;

private:
   DataType mType;
};

class VoidValue : public DataValue {
public:
   VoidValue() : DataValue(DataType::Void) {}
   DataValuePtr Copy() const override;
   bool Equals(const DataValue &other) const override;

protected:
   void Print(std::string &out, int depth) const override;
};

void PrintScalar(std::string &out, bool value);
void PrintScalar(std::string &out, int64_t value);
void PrintScalar(std::string &out, double value);
void PrintScalar(std::string &out, const std::string &value);
void PrintScalar(std::string &out, const SecretString &value);
void PrintScalar(std::string &out, const Binary &value);

// Scalars share one shape: a type tag and a held value.
template <DataType Tag, class T>
class ScalarValue : public DataValue {
public:
   explicit ScalarValue(T value) : DataValue(Tag), mValue(std::move(value)) {}
   const T &GetValue() const { return mValue; }
   DataValuePtr Copy() const override { return std::make_shared<ScalarValue>(mValue); }
   bool Equals(const DataValue &other) const override
   {
      return other.GetType() == Tag && static_cast<const ScalarValue &>(other).mValue == mValue;
   }

protected:
   void Print(std::string &out, int) const override { PrintScalar(out, mValue); }

private:
   T mValue;
};

using BooleanValue = ScalarValue<DataType::Boolean, bool>;
using IntegerValue = ScalarValue<DataType::Integer, int64_t>;
using DoubleValue = ScalarValue<DataType::Double, double>;
using StringValue = ScalarValue<DataType::String, std::string>;
using SecretValue = ScalarValue<DataType::Secret, SecretString>;
using BinaryValue = ScalarValue<DataType::Binary, Binary>;

class OptionalValue : public DataValue {
public:
   OptionalValue() : DataValue(DataType::Optional) {}
   explicit OptionalValue(DataValuePtr value) : DataValue(DataType::Optional), mValue(std::move(value)) {}
   bool IsSet() const { return mValue != nullptr; }
   const DataValuePtr &GetValue() const { return mValue; }
   DataValuePtr Copy() const override;
   bool Equals(const DataValue &other) const override;

protected:
   void Print(std::string &out, int depth) const override;

private:
   DataValuePtr mValue;
};

class ListValue : public DataValue {
public:
   ListValue() : DataValue(DataType::List) {}
   void Add(DataValuePtr value) { mItems.push_back(std::move(value)); }
   void Reserve(size_t count) { mItems.reserve(count); }
   const std::vector<DataValuePtr> &Items() const { return mItems; }
   size_t Size() const { return mItems.size(); }
   DataValuePtr Copy() const override;
   bool Equals(const DataValue &other) const override;

protected:
   void Print(std::string &out, int depth) const override;

private:
   std::vector<DataValuePtr> mItems;
};

// A named value with ordered fields: the common shape of structures and errors.
class CompoundValue : public DataValue {
public:
   using Field = std::pair<std::string, DataValuePtr>;

   const std::string &GetName() const { return mName; }
   // Replaces the field of that name in place, or appends it.
   void SetField(std::string name, DataValuePtr value);
   // Room for that many fields, for a builder that knows how many it will set.
   void ReserveFields(size_t count) { mFields.reserve(count); }
   // nullptr when absent.
   DataValuePtr GetField(const std::string &name) const;
   bool HasField(const std::string &name) const { return Position(name) != kNoField; }
   const std::vector<Field> &Fields() const { return mFields; }
   bool Equals(const DataValue &other) const override;

protected:
   CompoundValue(DataType type, std::string name) : DataValue(type), mName(std::move(name)) {}
   void CopyFieldsFrom(const CompoundValue &other);
   void Print(std::string &out, int depth) const override;

private:
   static constexpr size_t kNoField = static_cast<size_t>(-1);
   // Binding structures have a handful of fields: a scan beats a map there. Only
   // large structures (maps read off the wire) get an index.
   static constexpr size_t kIndexFrom = 16;
   size_t Position(const std::string &name) const;

   std::string mName;
   std::vector<Field> mFields;
   std::map<std::string, size_t> mIndex; // field name -> position; built from kIndexFrom fields
};

class StructValue : public CompoundValue {
public:
   explicit StructValue(std::string name = {}) : CompoundValue(DataType::Structure, std::move(name)) {}
   DataValuePtr Copy() const override;
};

using StructValuePtr = std::shared_ptr<StructValue>;
// A structure whose fields are not known to a binding at compile time.
using DynamicStructure = StructValue;

// Convenience constructors.
DataValuePtr MakeVoid();
DataValuePtr MakeBoolean(bool value);
DataValuePtr MakeInteger(int64_t value);
DataValuePtr MakeDouble(double value);
DataValuePtr MakeString(std::string value);
DataValuePtr MakeSecret(SecretString value);
DataValuePtr MakeBinary(Binary value);
DataValuePtr MakeOptional(DataValuePtr value = nullptr);

// Typed access; nullptr when the value is absent or of another type.
template <class T>
const T *As(const DataValuePtr &value)
{
   return dynamic_cast<const T *>(value.get());
}

} // namespace Ruvo::Data
