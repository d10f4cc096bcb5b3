// What the trust state asks of the host firewall: keep the allow-list of the
// agent's ruleset equal to the addresses of the configured hostnames. An
// interface, so that tests can watch or fail it.
//
// Names are resolved apart from changes, so that the state can resolve before it
// takes its lock; changes name exact addresses, so that a refused insert takes
// back only what it added itself.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Zarna {

class FirewallControl {
public:
   virtual ~FirewallControl() = default;

   // The addresses of a host; false (after a log line) when it cannot be resolved.
   virtual bool Resolve(const std::string &hostname, std::vector<std::string> &ips) = 0;
   // Allows those of `ips` not yet allowed, in one change; `added` receives exactly
   // those. False when the change failed (then nothing was added).
   virtual bool Allow(const std::string &hostname, const std::vector<std::string> &ips,
                      std::vector<std::string> &added) = 0;
   // Disallows those of `ips` that are allowed, in one change.
   virtual bool Disallow(const std::string &hostname, const std::vector<std::string> &ips) = 0;
   // Start-up: enable the ruleset and make its list exactly `ips` (one change).
   virtual void Open(const std::vector<std::string> &ips) = 0;
   // Stop: disallow `ips` and disable the ruleset.
   virtual void Close(const std::vector<std::string> &ips) = 0;
};

// The host firewall of the agent.
std::shared_ptr<FirewallControl> MakeHostFirewall();

} // namespace Zarna
