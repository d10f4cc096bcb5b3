#include "apps/zarna/state/service_types.h"

#include <algorithm>

namespace Zarna {

bool FilterAccepts(const ServiceFilter &filter, const ServiceSummary &service)
{
   if (filter.instanceIds && filter.instanceIds->count(service.instanceId) == 0) {
      return false;
   }
   if (filter.addresses) {
      const auto &wanted = *filter.addresses;
      bool matched = std::any_of(wanted.begin(), wanted.end(), [&](const NetworkAddress &a) {
         return SameEndpoint(a, *service.address);
      });
      if (!matched) {
         return false;
      }
   }
   if (filter.groups && filter.groups->count(service.group) == 0) {
      return false;
   }
   return true;
}

} // namespace Zarna
