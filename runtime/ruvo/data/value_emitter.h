// A value described as a sequence of calls, for writers that can take a native
// result without building its data value first. A value is one of: a scalar call,
// Tree (a value already built), or a Begin.../End... pair around its parts;
// a structure's parts are Field calls, each followed by the field's value.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/ruvo/data/data_value.h"

namespace Ruvo::Data {

class ValueEmitter {
public:
   virtual ~ValueEmitter() = default;

   virtual void Null() = 0; // void and unset optionals
   virtual void Boolean(bool value) = 0;
   virtual void Integer(int64_t value) = 0;
   virtual void Double(double value) = 0;
   virtual void Text(std::string_view text) = 0; // strings, secrets, enumeration names
   virtual void Bytes(const Binary &bytes) = 0;
   virtual void Tree(const DataValue &value) = 0;
   // A set optional around its value.
   virtual void BeginOptional() = 0;
   virtual void EndOptional() = 0;
   virtual void BeginList() = 0;
   virtual void EndList() = 0;
   virtual void BeginStructure() = 0;
   virtual void EndStructure() = 0;
   virtual void Field(std::string_view name) = 0;
};

// Takes every call and keeps nothing: walks a native value for the checks its
// codecs make on the way.
class DiscardingEmitter final : public ValueEmitter {
public:
   void Null() override {}
   void Boolean(bool) override {}
   void Integer(int64_t) override {}
   void Double(double) override {}
   void Text(std::string_view) override {}
   void Bytes(const Binary &) override {}
   void Tree(const DataValue &) override {}
   void BeginOptional() override {}
   void EndOptional() override {}
   void BeginList() override {}
   void EndList() override {}
   void BeginStructure() override {}
   void EndStructure() override {}
   void Field(std::string_view) override {}
};

} // namespace Ruvo::Data
