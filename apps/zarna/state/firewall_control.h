// What the trust state asks of the host firewall: keep the allow-list of the
// agent's ruleset in step with the configured hostnames. An interface, so that
// tests can watch or fail it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Zarna {

class FirewallControl {
public:
   virtual ~FirewallControl() = default;

   // Resolve the host and allow (disallow) each of its addresses; false on failure.
   virtual bool AddHost(const std::string &hostname) = 0;
   virtual bool RemoveHost(const std::string &hostname) = 0;
   // Enable the ruleset and allow every host / disallow every host and disable it.
   virtual void Open(const std::vector<std::string> &hostnames) = 0;
   virtual void Close(const std::vector<std::string> &hostnames) = 0;
};

// The host firewall of the agent.
std::shared_ptr<FirewallControl> MakeHostFirewall();

} // namespace Zarna
