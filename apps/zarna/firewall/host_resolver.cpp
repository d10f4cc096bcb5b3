#include "apps/zarna/firewall/host_resolver.h"

#include <cstring>

#include "runtime/hostlib/mutex.h"

namespace Zarna {

namespace {

struct ResolverSlot {
   Hostlib::Mutex lock;
   std::shared_ptr<HostResolver> resolver ZARNA_GUARDED_BY(lock);
};

ResolverSlot &Slot()
{
   static ResolverSlot *slot = new ResolverSlot; // outlives static destructors of callers
   return *slot;
}

} // namespace

int SystemHostResolver::Resolve(const std::string &hostname, const addrinfo &hints,
                                std::vector<ResolvedAddress> &addresses)
{
   addrinfo *result = nullptr;
   int rc = getaddrinfo(hostname.c_str(), nullptr, &hints, &result);
   if (rc != 0) {
      return rc;
   }
   for (addrinfo *entry = result; entry != nullptr; entry = entry->ai_next) {
      ResolvedAddress resolved;
      resolved.family = entry->ai_family;
      if (entry->ai_addr != nullptr && entry->ai_addrlen <= sizeof resolved.address) {
         std::memcpy(&resolved.address, entry->ai_addr, entry->ai_addrlen);
      }
      addresses.push_back(resolved);
   }
   freeaddrinfo(result);
   return 0;
}

std::shared_ptr<HostResolver> SetHostResolver(std::shared_ptr<HostResolver> resolver)
{
   ResolverSlot &slot = Slot();
   Hostlib::MutexLock guard(slot.lock);
   std::shared_ptr<HostResolver> previous = std::move(slot.resolver);
   slot.resolver = std::move(resolver);
   return previous;
}

std::shared_ptr<HostResolver> GetHostResolver()
{
   ResolverSlot &slot = Slot();
   Hostlib::MutexLock guard(slot.lock);
   if (!slot.resolver) {
      slot.resolver = std::make_shared<SystemHostResolver>();
   }
   return slot.resolver;
}

} // namespace Zarna
