#include "tools/zarnactl/json_output.h"

#include "runtime/ruvo/json/json_reader.h"
#include "runtime/ruvo/json/value_codec.h"
#include "tools/zarnactl/human_output.h"

namespace Zarnactl {

bool WriteJsonValue(std::ostream &out, std::ostream &err, const Ruvo::Data::DataValue &value)
{
   std::string text;
   std::string reason;
   nlohmann::json document;
   // Written compact by the wire codec, then read back (within the wire's limits)
   // only to indent it.
   if (!Ruvo::Protocol::Json::AppendValue(value, text, reason) ||
       !Ruvo::Protocol::Json::ReadDocument(text, Ruvo::Protocol::Json::kSecureLimits, document,
                                           reason)) {
      err << "zarnactl: the agent's answer cannot be shown as JSON: " << Printable(reason) << "\n";
      return false;
   }
   out << document.dump(2) << "\n";
   return true;
}

} // namespace Zarnactl
