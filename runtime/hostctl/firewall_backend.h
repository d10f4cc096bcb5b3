// Where firewall rulesets live. The library's handles (system.h) call a
// process-wide backend chosen at start-up from "firewall/backend":
//   "nftables"     rules in the kernel, changed through the nft tool
//   "file:<path>"  a JSON state file, for development and tests without
//                  CAP_NET_ADMIN (nothing is enforced)
// Tests may install their own backend to inject failures.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/hostctl/network_address.h"

namespace HykCtl::System {

struct RulesetState {
   // The ruleset's table, both address sets and its confinement chain exist.
   bool exists = false;
   // The agent's traffic is sent through the confinement chain.
   bool enabled = false;
   // The confinement chain admits every destination.
   bool allowedAll = false;
   std::vector<HostCtl::Network::Ipv4Address> ipv4;
   std::vector<HostCtl::Network::Ipv6Address> ipv6;
};

// Every call is one atomic change or one read; every failure is a
// HostCtl::Lib::HostCtlException. Changes to a ruleset that does not exist fail.
class FirewallBackend {
public:
   virtual ~FirewallBackend() = default;

   virtual std::string Describe() const = 0;
   virtual RulesetState QueryRuleset(const std::string &rulesetId) = 0;
   // Creates whatever part of the ruleset is missing: disabled, confining, no
   // addresses. Leaves an existing ruleset's settings and addresses alone.
   virtual void CreateRuleset(const std::string &rulesetId) = 0;
   virtual void SetEnabled(const std::string &rulesetId, bool enabled) = 0;
   virtual void SetAllowedAll(const std::string &rulesetId, bool allowedAll) = 0;
   // Adds exactly this address; adding a present address changes nothing.
   virtual void AddAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address) = 0;
   // Removes exactly this address; an absent address is an error.
   virtual void RemoveAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address) = 0;
   // Adds `add` and removes `remove` as one change, so that start-up and stop cost
   // the same whatever the number of hosts. Present additions and absent removals
   // change nothing. This default is one change per address; real backends
   // override it with one atomic change.
   virtual void ChangeAddresses(const std::string &rulesetId, const std::vector<HostCtl::Network::IpAddress> &add,
                                const std::vector<HostCtl::Network::IpAddress> &remove);
};

// "nftables" or "file:<absolute path>"; HostCtlException for anything else.
std::shared_ptr<FirewallBackend> CreateFirewallBackend(const std::string &setting);

// The process-wide backend; nftables until something else is installed.
void SetFirewallBackend(std::shared_ptr<FirewallBackend> backend);
std::shared_ptr<FirewallBackend> GetFirewallBackend();

} // namespace HykCtl::System
