// Host firewall control: rulesets looked up by id, and the firewall module that
// provides them. Every call reads or changes the process-wide backend
// (firewall_backend.h) right away; nothing is cached in the handles. Failures
// are HostCtl::Lib::HostCtlException.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/hostctl/firewall_backend.h"
#include "runtime/hostctl/network_address.h"

namespace HykCtl::System {

struct AllowedIpList {
   std::vector<HostCtl::Network::Ipv4Address> ipv4;
   std::vector<HostCtl::Network::Ipv6Address> ipv6;
};

class FirewallRuleset {
public:
   FirewallRuleset(std::shared_ptr<FirewallBackend> backend, std::string id);

   const std::string &GetId() const { return mId; }
   // Declared by a firewall module and present in the backend.
   bool IsValid() const;
   bool IsEnabled() const;
   void Enable();
   void Disable();
   // The ruleset's one switch: when true an enabled ruleset admits every
   // destination; when false (the default) only loopback and the allowed IPs.
   void SetAllowedAll(bool allowedAll);
   bool IsAllowedAll() const;

   AllowedIpList GetAllowedIpList() const;
   // The text must be one IPv4 or IPv6 address; nothing else is accepted
   // (no names, prefixes or ranges), so exactly that address is changed.
   void AddAllowedIp(const std::string &ip);
   void RemoveAllowedIp(const std::string &ip);
   // Both lists in one change of the backend; each text as for AddAllowedIp.
   // Adding an allowed or removing an absent address changes nothing.
   void ChangeAllowedIps(const std::vector<std::string> &add, const std::vector<std::string> &remove);

private:
   RulesetState QueryExisting() const;
   void CheckDeclared() const;

   std::shared_ptr<FirewallBackend> mBackend;
   std::string mId;
};

class SystemInfoImpl {
public:
   SystemInfoImpl();
   explicit SystemInfoImpl(std::shared_ptr<FirewallBackend> backend) : mBackend(std::move(backend)) {}

   // A handle for any id; ask it IsValid.
   std::shared_ptr<FirewallRuleset> GetFirewallRulesetById(const std::string &rulesetId);

private:
   std::shared_ptr<FirewallBackend> mBackend;
};

// A firewall module: a named group of rulesets that is loaded as a whole.
// The module "brimfw" provides "trusted-infrastructure-zarna".
class ModuleImpl {
public:
   explicit ModuleImpl(std::string name);
   ModuleImpl(std::string name, std::shared_ptr<FirewallBackend> backend);

   const std::string &GetName() const { return mName; }
   // True until Refresh has read the module's state from the backend.
   bool NeedsRefresh() const { return !mRefreshed; }
   // Every ruleset of the module existed at the last Refresh.
   bool IsLoaded() const { return mLoaded; }

   void Refresh();
   // Creates the module's missing rulesets. No options are defined (the text
   // must be empty) and loads do not survive a reboot (`persistent` false).
   void Load(const std::string &options, bool persistent);

private:
   const std::vector<std::string> &Rulesets() const;

   std::string mName;
   std::shared_ptr<FirewallBackend> mBackend;
   bool mRefreshed = false;
   bool mLoaded = false;
};

} // namespace HykCtl::System
