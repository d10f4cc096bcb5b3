#include "apps/zarna/firewall/firewall.h"
#include "apps/zarna/state/firewall_control.h"

namespace Zarna {

namespace {

class HostFirewall : public FirewallControl {
public:
   bool AddHost(const std::string &hostname) override { return FirewallAddHost(hostname); }
   bool RemoveHost(const std::string &hostname) override { return FirewallRemoveHost(hostname); }
   void Open(const std::vector<std::string> &hostnames) override { FirewallOpen(hostnames); }
   void Close(const std::vector<std::string> &hostnames) override { FirewallClose(hostnames); }
};

} // namespace

std::shared_ptr<FirewallControl> MakeHostFirewall()
{
   return std::make_shared<HostFirewall>();
}

} // namespace Zarna
