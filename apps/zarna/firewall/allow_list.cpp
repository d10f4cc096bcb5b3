// The allow-list changed by address sets: one read of the ruleset and one change
// per call, whatever the number of addresses.
#include <set>

#include "apps/zarna/firewall/firewall.h"
#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostctl/network_address.h"
#include "runtime/hostlib/log.h"

namespace Zarna {

using HostCtl::Lib::HostCtlException;

namespace {

// The allowed addresses in canonical text, so that any spelling of an address
// compares equal to the listed one.
std::set<std::string> AllowedTexts(const HykCtl::System::FirewallRuleset &ruleset)
{
   HykCtl::System::AllowedIpList allowed = ruleset.GetAllowedIpList();
   std::set<std::string> texts;
   for (const auto &address : allowed.ipv4) {
      texts.insert(address.ToString());
   }
   for (const auto &address : allowed.ipv6) {
      texts.insert(address.ToString());
   }
   return texts;
}

// The canonical text of an address; empty (after a log line) for anything else.
std::string Canonical(const std::string &ip)
{
   try {
      return HostCtl::Network::ToString(HostCtl::Network::ParseIpAddress(ip));
   } catch (const HostCtlException &) {
      Log_Level(110, "%s is not a valid IPv4 or IPv6\n", ip.c_str());
      return {};
   }
}

} // namespace

bool FirewallAllowIps(const std::string &hostname, const std::vector<std::string> &ips,
                      std::vector<std::string> &added)
{
   added.clear();
   try {
      auto ruleset = GetRuleset(kFirewallRulesetId);
      std::set<std::string> allowed = AllowedTexts(*ruleset);
      std::vector<std::string> toAdd;
      for (const std::string &ip : ips) {
         std::string text = Canonical(ip);
         if (text.empty()) {
            continue;
         }
         if (allowed.count(text) != 0) {
            Log_Level(130, "Already added %s to firewall whitelist\n", text.c_str());
            continue;
         }
         allowed.insert(text);
         toAdd.push_back(text);
      }
      if (!toAdd.empty()) {
         ruleset->ChangeAllowedIps(toAdd, {});
      }
      for (const std::string &text : toAdd) {
         Log_Level(130, "Successfully added %s to firewall whitelist\n", text.c_str());
      }
      added = std::move(toAdd);
      return true;
   } catch (const HostCtlException &e) {
      Log_Level(110, "Could not add %s to firewall whitelist: %s\n", hostname.c_str(),
                e.GetDetailedMessage().c_str());
      return false;
   }
}

bool FirewallDisallowIps(const std::string &hostname, const std::vector<std::string> &ips)
{
   try {
      auto ruleset = GetRuleset(kFirewallRulesetId);
      std::set<std::string> allowed = AllowedTexts(*ruleset);
      std::vector<std::string> toRemove;
      for (const std::string &ip : ips) {
         std::string text = Canonical(ip);
         if (text.empty()) {
            continue;
         }
         if (allowed.erase(text) == 0) {
            Log_Level(130, "Already removed %s from firewall whitelist\n", text.c_str());
            continue;
         }
         toRemove.push_back(text);
      }
      if (!toRemove.empty()) {
         ruleset->ChangeAllowedIps({}, toRemove);
      }
      for (const std::string &text : toRemove) {
         Log_Level(130, "Successfully removed %s from firewall whitelist\n", text.c_str());
      }
      return true;
   } catch (const HostCtlException &e) {
      Log_Level(110, "Could not remove %s from firewall whitelist: %s\n", hostname.c_str(),
                e.GetDetailedMessage().c_str());
      return false;
   }
}

bool FirewallOpenIps(const std::vector<std::string> &ips)
{
   SetRulesetEnabled(kFirewallRulesetId, true);
   try {
      auto ruleset = GetRuleset(kFirewallRulesetId);
      std::set<std::string> allowed = AllowedTexts(*ruleset);
      std::set<std::string> wanted;
      for (const std::string &ip : ips) {
         std::string text = Canonical(ip);
         if (!text.empty()) {
            wanted.insert(text);
         }
      }
      std::vector<std::string> toAdd;
      std::vector<std::string> toRemove;
      for (const std::string &text : wanted) {
         if (allowed.count(text) == 0) {
            toAdd.push_back(text);
         }
      }
      // Left by a stop that never ran (a crash between a firewall change and the
      // store's commit): no configured service needs it.
      for (const std::string &text : allowed) {
         if (wanted.count(text) == 0) {
            toRemove.push_back(text);
         }
      }
      if (!toAdd.empty() || !toRemove.empty()) {
         ruleset->ChangeAllowedIps(toAdd, toRemove);
      }
      for (const std::string &text : toRemove) {
         Log_Level(125,
                   "Removed %s from firewall whitelist: no configured service resolves to it\n",
                   text.c_str());
      }
      for (const std::string &text : toAdd) {
         Log_Level(130, "Successfully added %s to firewall whitelist\n", text.c_str());
      }
      return true;
   } catch (const HostCtlException &e) {
      Log_Level(110, "Could not open the firewall whitelist: %s\n", e.GetDetailedMessage().c_str());
      return false;
   }
}

bool FirewallCloseIps(const std::vector<std::string> &ips)
{
   bool removed = FirewallDisallowIps("the configured hosts", ips);
   return SetRulesetEnabled(kFirewallRulesetId, false) && removed;
}

} // namespace Zarna
