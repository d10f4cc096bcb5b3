#include "runtime/hostctl/system.h"

#include <algorithm>
#include <map>

#include "runtime/hostctl/host_ctl_exception.h"

namespace HykCtl::System {

using HostCtl::Lib::HostCtlException;

namespace {

const std::map<std::string, std::vector<std::string>> &ModuleCatalogue()
{
   static const std::map<std::string, std::vector<std::string>> catalogue = {
      {"brimfw", {"trusted-infrastructure-zarna"}},
   };
   return catalogue;
}

bool IsDeclared(const std::string &rulesetId)
{
   for (const auto &[module, rulesets] : ModuleCatalogue()) {
      if (std::find(rulesets.begin(), rulesets.end(), rulesetId) != rulesets.end()) {
         return true;
      }
   }
   return false;
}

} // namespace

FirewallRuleset::FirewallRuleset(std::shared_ptr<FirewallBackend> backend, std::string id)
   : mBackend(std::move(backend)), mId(std::move(id))
{
}

void FirewallRuleset::CheckDeclared() const
{
   if (!IsDeclared(mId)) {
      throw HostCtlException("Unknown firewall ruleset '" + mId.substr(0, 64) + "'");
   }
}

RulesetState FirewallRuleset::QueryExisting() const
{
   CheckDeclared();
   RulesetState state = mBackend->QueryRuleset(mId);
   if (!state.exists) {
      throw HostCtlException("Firewall ruleset '" + mId + "' is not loaded");
   }
   return state;
}

bool FirewallRuleset::IsValid() const
{
   return IsDeclared(mId) && mBackend->QueryRuleset(mId).exists;
}

bool FirewallRuleset::IsEnabled() const
{
   return QueryExisting().enabled;
}

void FirewallRuleset::Enable()
{
   CheckDeclared();
   mBackend->SetEnabled(mId, true);
}

void FirewallRuleset::Disable()
{
   CheckDeclared();
   mBackend->SetEnabled(mId, false);
}

void FirewallRuleset::SetAllowedAll(bool allowedAll)
{
   CheckDeclared();
   mBackend->SetAllowedAll(mId, allowedAll);
}

bool FirewallRuleset::IsAllowedAll() const
{
   return QueryExisting().allowedAll;
}

AllowedIpList FirewallRuleset::GetAllowedIpList() const
{
   RulesetState state = QueryExisting();
   return AllowedIpList{std::move(state.ipv4), std::move(state.ipv6)};
}

void FirewallRuleset::AddAllowedIp(const std::string &ip)
{
   CheckDeclared();
   mBackend->AddAddress(mId, HostCtl::Network::ParseIpAddress(ip));
}

void FirewallRuleset::RemoveAllowedIp(const std::string &ip)
{
   CheckDeclared();
   mBackend->RemoveAddress(mId, HostCtl::Network::ParseIpAddress(ip));
}

void FirewallRuleset::ChangeAllowedIps(const std::vector<std::string> &add, const std::vector<std::string> &remove)
{
   CheckDeclared();
   std::vector<HostCtl::Network::IpAddress> toAdd;
   std::vector<HostCtl::Network::IpAddress> toRemove;
   for (const std::string &ip : add) {
      toAdd.push_back(HostCtl::Network::ParseIpAddress(ip));
   }
   for (const std::string &ip : remove) {
      toRemove.push_back(HostCtl::Network::ParseIpAddress(ip));
   }
   mBackend->ChangeAddresses(mId, toAdd, toRemove);
}

SystemInfoImpl::SystemInfoImpl() : mBackend(GetFirewallBackend())
{
}

std::shared_ptr<FirewallRuleset> SystemInfoImpl::GetFirewallRulesetById(const std::string &rulesetId)
{
   return std::make_shared<FirewallRuleset>(mBackend, rulesetId);
}

ModuleImpl::ModuleImpl(std::string name) : ModuleImpl(std::move(name), GetFirewallBackend())
{
}

ModuleImpl::ModuleImpl(std::string name, std::shared_ptr<FirewallBackend> backend)
   : mName(std::move(name)), mBackend(std::move(backend))
{
}

const std::vector<std::string> &ModuleImpl::Rulesets() const
{
   auto it = ModuleCatalogue().find(mName);
   if (it == ModuleCatalogue().end()) {
      throw HostCtlException("Unknown firewall module '" + mName.substr(0, 64) + "'");
   }
   return it->second;
}

void ModuleImpl::Refresh()
{
   bool loaded = true;
   for (const std::string &rulesetId : Rulesets()) {
      loaded = loaded && mBackend->QueryRuleset(rulesetId).exists;
   }
   mLoaded = loaded;
   mRefreshed = true;
}

void ModuleImpl::Load(const std::string &options, bool persistent)
{
   if (!options.empty()) {
      throw HostCtlException("Firewall module '" + mName + "' takes no options");
   }
   if (persistent) {
      throw HostCtlException("Firewall module '" + mName + "' cannot be loaded persistently");
   }
   for (const std::string &rulesetId : Rulesets()) {
      mBackend->CreateRuleset(rulesetId);
   }
   mLoaded = true;
   mRefreshed = true;
}

} // namespace HykCtl::System
