// The agent's firewall allow-list: the ruleset "trusted-infrastructure-zarna"
// admits the agent's outbound traffic only towards the addresses of the
// configured services. Callers hold the state lock for write, so changes of the
// agent never overlap. No exception leaves these functions.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/hostctl/system.h"

namespace Zarna {

inline constexpr const char *kFirewallRulesetId = "trusted-infrastructure-zarna";
inline constexpr const char *kFirewallModuleName = "brimfw";

// Resolve the host and add (remove) each of its addresses to (from) the
// agent's ruleset. False, with one log line, when anything failed.
bool FirewallAddHost(const std::string &hostname);
bool FirewallRemoveHost(const std::string &hostname);

// Start-up: enable the ruleset, then add every host (failures are logged and skipped).
void FirewallOpen(const std::vector<std::string> &hostnames);
// Shutdown: remove every host (failures logged and skipped), then disable the ruleset.
void FirewallClose(const std::vector<std::string> &hostnames);

// The address texts of a host, in resolver order; false after logging why.
bool FirewallResolveHost(const std::string &hostname, std::vector<std::string> &ips);

// The same list kept by addresses, so that a change costs one firewall update
// whatever the number of hosts, and a refused change can be taken back exactly.
//
// Allows those of `ips` not allowed yet; `added` receives exactly those. False,
// with one log line naming `hostname`, when the change failed (nothing was added).
bool FirewallAllowIps(const std::string &hostname, const std::vector<std::string> &ips,
                      std::vector<std::string> &added);
// Removes those of `ips` that are allowed; false, with one log line, on failure.
bool FirewallDisallowIps(const std::string &hostname, const std::vector<std::string> &ips);
// Start-up: enables the ruleset and makes its list exactly `ips`, logging each
// address that no configured host resolves to as it is removed.
bool FirewallOpenIps(const std::vector<std::string> &ips);
// Stop: removes `ips`, then disables the ruleset.
bool FirewallCloseIps(const std::vector<std::string> &ips);

bool UpdateAllowList(const std::string &rulesetId, bool add, const std::string &hostname);
bool SetRulesetEnabled(const std::string &rulesetId, bool enable);

// Throws HostCtl::Lib::HostCtlException("Invalid ruleset") when the ruleset is
// not valid.
std::shared_ptr<HykCtl::System::FirewallRuleset> GetRuleset(const std::string &rulesetId);

// Whether the address text is on the ruleset's list, compared by value.
bool IsIpAllowed(const std::string &ip, const HykCtl::System::FirewallRuleset &ruleset);

} // namespace Zarna
