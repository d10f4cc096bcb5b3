// The --json form: the call's result as it travels on the wire, as one indented
// JSON document.
#pragma once

#include <ostream>

#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/data/data_value.h"

namespace Zarnactl {

// False, with the reason on err, when the value cannot be written as JSON.
bool WriteJsonValue(std::ostream &out, std::ostream &err, const Ruvo::Data::DataValue &value);

template <class T> bool WriteJsonResult(std::ostream &out, std::ostream &err, const T &value)
{
   Ruvo::Binding::CodecContext ctx;
   Ruvo::Data::DataValuePtr data = Ruvo::Binding::ToDataValue(value, ctx);
   if (!data) {
      err << "zarnactl: the agent's answer cannot be shown as JSON\n";
      return false;
   }
   return WriteJsonValue(out, err, *data);
}

} // namespace Zarnactl
