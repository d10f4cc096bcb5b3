// The authorization section of a metadata file: whatever the file holds, the
// loader either refuses it with a reason and leaves the info as it was, or fills
// it with operations that each need at least one declared privilege.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "runtime/ruvo/filters/authz_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
   Ruvo::Authz::AuthzInfo info;
   info.SetOperation("before.op", {"before"});
   std::vector<Ruvo::BaseMessage> messages;
   bool loaded = Ruvo::Authz::Metadata::LoadAuthzInfoMetadata::Load(in, info, nullptr, messages);
   if (!loaded) {
      if (messages.empty() || info.Operations().size() != 1 ||
          info.RequiredPrivileges("before.op") == nullptr) {
         abort();
      }
      return 0;
   }
   for (const auto &[method, privileges] : info.Operations()) {
      if (privileges.empty()) {
         abort();
      }
      for (const auto &p : privileges) {
         if (info.Privileges().count(p) == 0) {
            abort();
         }
      }
   }
   return 0;
}
