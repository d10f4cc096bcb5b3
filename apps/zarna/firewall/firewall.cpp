#include "apps/zarna/firewall/firewall.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>

#include "apps/zarna/firewall/host_resolver.h"
#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostctl/network_address.h"
#include "runtime/hostlib/log.h"

namespace Zarna {

using HostCtl::Lib::HostCtlException;
using HostCtl::Network::Ipv4Address;
using HostCtl::Network::Ipv6Address;

namespace {

} // namespace

// A hostname with a NUL would be resolved by its prefix alone, so it is
// refused as unresolvable.
bool FirewallResolveHost(const std::string &hostname, std::vector<std::string> &ips)
{
   addrinfo hints{};
   hints.ai_family = AF_UNSPEC;
   hints.ai_socktype = SOCK_STREAM;
   hints.ai_flags = 0;
   std::shared_ptr<HostResolver> resolver = GetHostResolver();
   std::vector<ResolvedAddress> addresses;
   int rc = hostname.find('\0') != std::string::npos ? EAI_NONAME
                                                     : resolver->Resolve(hostname, hints, addresses);
   if (rc != 0) {
      Log_Level(110, "getaddrinfo failed for %s: %s\n", hostname.c_str(), resolver->ErrorText(rc).c_str());
      return false;
   }
   for (const ResolvedAddress &resolved : addresses) {
      char text[46] = {};
      const void *raw = nullptr;
      if (resolved.family == AF_INET) {
         raw = &reinterpret_cast<const sockaddr_in *>(&resolved.address)->sin_addr;
      } else if (resolved.family == AF_INET6) {
         raw = &reinterpret_cast<const sockaddr_in6 *>(&resolved.address)->sin6_addr;
      } else {
         Log_Level(110, "Unknown family (%d) in address info for %s\n", resolved.family, hostname.c_str());
         continue;
      }
      if (inet_ntop(resolved.family, raw, text, sizeof text) == nullptr) {
         continue;
      }
      Log_Level(130, "Host %s, ip: %s\n", hostname.c_str(), text);
      ips.emplace_back(text);
   }
   return true;
}

namespace {

// An add that fails half-way takes back the addresses it added itself, so a
// refused host never stays open. Addresses that were already allowed stay.
void WithdrawAdded(HykCtl::System::FirewallRuleset &ruleset, const std::vector<std::string> &added)
{
   for (auto it = added.rbegin(); it != added.rend(); ++it) {
      try {
         ruleset.RemoveAllowedIp(*it);
      } catch (const HostCtlException &e) {
         Log_Level(110, "Could not withdraw %s from firewall whitelist: %s\n", it->c_str(),
                   e.GetDetailedMessage().c_str());
      }
   }
}

} // namespace

std::shared_ptr<HykCtl::System::FirewallRuleset> GetRuleset(const std::string &rulesetId)
{
   HykCtl::System::SystemInfoImpl systemInfo;
   std::shared_ptr<HykCtl::System::FirewallRuleset> ruleset = systemInfo.GetFirewallRulesetById(rulesetId);
   if (!ruleset->IsValid()) {
      throw HostCtlException("Invalid ruleset");
   }
   return ruleset;
}

bool IsIpAllowed(const std::string &ip, const HykCtl::System::FirewallRuleset &ruleset)
{
   HykCtl::System::AllowedIpList allowed = ruleset.GetAllowedIpList();
   if (Ipv4Address::IsValidAddress(ip)) {
      Ipv4Address address(ip);
      for (const Ipv4Address &entry : allowed.ipv4) {
         if (entry == address) {
            return true;
         }
      }
      return false;
   }
   if (Ipv6Address::IsValidAddress(ip)) {
      Ipv6Address address(ip);
      for (const Ipv6Address &entry : allowed.ipv6) {
         if (entry == address) {
            return true;
         }
      }
      return false;
   }
   Log_Level(110, "%s is not a valid IPv4 or IPv6\n", ip.c_str());
   return false;
}

bool UpdateAllowList(const std::string &rulesetId, bool add, const std::string &hostname)
{
   std::shared_ptr<HykCtl::System::FirewallRuleset> ruleset;
   std::vector<std::string> added;
   try {
      ruleset = GetRuleset(rulesetId);
      std::vector<std::string> ips;
      if (!FirewallResolveHost(hostname, ips)) {
         return false;
      }
      // A remove goes on past a failing address: every address it can still
      // take off narrows what stays open.
      std::optional<HostCtlException> removeFailure;
      for (const std::string &ip : ips) {
         if (add) {
            if (IsIpAllowed(ip, *ruleset)) {
               Log_Level(130, "Already added %s to firewall whitelist\n", ip.c_str());
            } else {
               ruleset->AddAllowedIp(ip);
               added.push_back(ip);
               Log_Level(130, "Successfully added %s to firewall whitelist\n", ip.c_str());
            }
            continue;
         }
         try {
            if (IsIpAllowed(ip, *ruleset)) {
               ruleset->RemoveAllowedIp(ip);
               Log_Level(130, "Successfully removed %s from firewall whitelist\n", ip.c_str());
            } else {
               Log_Level(130, "Already removed %s from firewall whitelist\n", ip.c_str());
            }
         } catch (const HostCtlException &e) {
            if (!removeFailure) {
               removeFailure = e;
            }
         }
      }
      if (removeFailure) {
         throw *removeFailure;
      }
      return true;
   } catch (const HostCtlException &e) {
      Log_Level(110, "Could not %s %s %s firewall whitelist: %s\n", add ? "add" : "remove", hostname.c_str(),
                add ? "to" : "from", e.GetDetailedMessage().c_str());
      if (add && ruleset) {
         WithdrawAdded(*ruleset, added);
      }
      return false;
   }
}

bool SetRulesetEnabled(const std::string &rulesetId, bool enable)
{
   try {
      HykCtl::System::ModuleImpl module(kFirewallModuleName);
      if (module.NeedsRefresh()) {
         module.Refresh();
      }
      if (!module.IsLoaded()) {
         module.Load("", false);
      }
      std::shared_ptr<HykCtl::System::FirewallRuleset> ruleset = GetRuleset(rulesetId);
      if (ruleset->IsEnabled() == enable) {
         return true;
      }
      if (enable) {
         ruleset->Enable();
         ruleset->SetAllowedAll(false);
      } else {
         ruleset->Disable();
      }
      return true;
   } catch (const HostCtlException &e) {
      Log_Level(110, "Could not %s the firewall rules: %s\n", enable ? "enable" : "disable",
                e.GetDetailedMessage().c_str());
      return false;
   }
}

bool FirewallAddHost(const std::string &hostname)
{
   return UpdateAllowList(kFirewallRulesetId, true, hostname);
}

bool FirewallRemoveHost(const std::string &hostname)
{
   return UpdateAllowList(kFirewallRulesetId, false, hostname);
}

void FirewallOpen(const std::vector<std::string> &hostnames)
{
   SetRulesetEnabled(kFirewallRulesetId, true);
   for (const std::string &hostname : hostnames) {
      if (!FirewallAddHost(hostname)) {
         Log_Level(110, "Error adding %s to firewall\n", hostname.c_str());
      }
   }
}

void FirewallClose(const std::vector<std::string> &hostnames)
{
   for (const std::string &hostname : hostnames) {
      if (!FirewallRemoveHost(hostname)) {
         Log_Level(110, "Error removing %s from firewall\n", hostname.c_str());
      }
   }
   SetRulesetEnabled(kFirewallRulesetId, false);
}

} // namespace Zarna
