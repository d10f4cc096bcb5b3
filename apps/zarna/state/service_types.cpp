#include "apps/zarna/state/service_types.h"

#include <algorithm>

namespace Zarna {

bool FilterAccepts(const ServiceFilter &filter, const std::string &instanceId,
                   const ServiceInfo &info)
{
   if (filter.instanceIds && filter.instanceIds->count(instanceId) == 0) {
      return false;
   }
   if (filter.addresses) {
      const auto &wanted = *filter.addresses;
      bool matched = std::any_of(wanted.begin(), wanted.end(), [&](const NetworkAddress &a) {
         return SameEndpoint(a, *info.address);
      });
      if (!matched) {
         return false;
      }
   }
   if (filter.groups && filter.groups->count(info.group) == 0) {
      return false;
   }
   return true;
}

} // namespace Zarna
