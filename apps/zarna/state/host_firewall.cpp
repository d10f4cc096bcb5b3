#include "apps/zarna/firewall/firewall.h"
#include "apps/zarna/state/firewall_control.h"

namespace Zarna {

namespace {

class HostFirewall : public FirewallControl {
public:
   bool Resolve(const std::string &hostname, std::vector<std::string> &ips) override
   {
      return FirewallResolveHost(hostname, ips);
   }
   bool Allow(const std::string &hostname, const std::vector<std::string> &ips,
              std::vector<std::string> &added) override
   {
      return FirewallAllowIps(hostname, ips, added);
   }
   bool Disallow(const std::string &hostname, const std::vector<std::string> &ips) override
   {
      return FirewallDisallowIps(hostname, ips);
   }
   void Open(const std::vector<std::string> &ips) override { FirewallOpenIps(ips); }
   void Close(const std::vector<std::string> &ips) override { FirewallCloseIps(ips); }
};

} // namespace

std::shared_ptr<FirewallControl> MakeHostFirewall()
{
   return std::make_shared<HostFirewall>();
}

} // namespace Zarna
