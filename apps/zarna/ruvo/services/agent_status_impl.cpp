#include "apps/zarna/ruvo/services/agent_status_impl.h"

#include <chrono>
#include <ctime>
#include <map>

#include "apps/zarna/firewall/firewall.h"
#include "apps/zarna/kernel/rpc_channel.h"
#include "apps/zarna/state/token_expiry.h"
#include "runtime/hostctl/firewall_backend.h"
#include "runtime/hostctl/host_ctl_exception.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc {

namespace {

std::optional<ServiceRef> RefOf(const std::shared_ptr<const Zarna::ServiceSummary> &summary)
{
   if (!summary) {
      return std::nullopt;
   }
   ServiceRef ref;
   ref.service = summary->instanceId;
   if (summary->address) {
      auto address = std::make_shared<NetworkAddress>();
      address->hostname = summary->address->hostname;
      address->port = summary->address->port;
      ref.address = address;
   }
   return ref;
}

FirewallSnapshot ReadFirewall()
{
   FirewallSnapshot snapshot;
   std::shared_ptr<HykCtl::System::FirewallBackend> backend = HykCtl::System::GetFirewallBackend();
   if (!backend) {
      snapshot.error = "no firewall backend";
      return snapshot;
   }
   snapshot.backend = backend->Describe();
   try {
      HykCtl::System::RulesetState state = backend->QueryRuleset(Zarna::kFirewallRulesetId);
      snapshot.enabled = state.exists && state.enabled;
      if (state.allowedAll) {
         snapshot.allowed.push_back("*");
      }
      for (const auto &address : state.ipv4) {
         snapshot.allowed.push_back(address.ToString());
      }
      for (const auto &address : state.ipv6) {
         snapshot.allowed.push_back(address.ToString());
      }
   } catch (const HostCtl::Lib::HostCtlException &e) {
      snapshot.error = e.what();
   }
   return snapshot;
}

} // namespace

StatusSources DefaultStatusSources(const std::string &version, int64_t build)
{
   const auto started = std::chrono::steady_clock::now();
   StatusSources sources;
   sources.attestationServices = [] {
      return Zarna::ZarnaState::GetInstance()->ListAttestdServices(std::nullopt);
   };
   sources.keyProviderServices = [] {
      return Zarna::ZarnaState::GetInstance()->ListZarndServices(std::nullopt);
   };
   sources.tokens = [] {
      ::Ruvo::Data::ErrorValuePtr ignored; // no groups: an empty list is the answer
      std::vector<Zarna::ZarnaStateInfo> groups;
      Zarna::ZarnaState::GetInstance()->GetGroups(ignored, groups);
      return groups;
   };
   sources.kernelChannelRegistered = [] { return Zarna::IsRpcRegistered(); };
   sources.firewall = ReadFirewall;
   sources.lastAttestation = [](const std::string &group) {
      return Zarna::LastAttestationOutcome(group);
   };
   sources.nowSec = [] { return static_cast<int64_t>(time(nullptr)); };
   sources.uptimeSec = [started] {
      return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                              started)
          .count();
   };
   sources.version = version;
   sources.build = build;
   return sources;
}

Info CollectStatus(const StatusSources &sources)
{
   Info info;
   info.version = sources.version;
   info.build = sources.build;
   info.uptime_seconds = sources.uptimeSec();
   info.kernel_channel_registered = sources.kernelChannelRegistered();

   // A group exists while either of its services does; tokens of a group whose
   // services are gone are shown too, until the state drops them.
   std::map<std::string, GroupStatus> groups;
   auto groupOf = [&groups](const std::string &name) -> GroupStatus & {
      GroupStatus &status = groups[name];
      status.group = name;
      return status;
   };
   for (const auto &service : sources.attestationServices()) {
      groupOf(service->group).attestation_service = RefOf(service);
   }
   for (const auto &service : sources.keyProviderServices()) {
      groupOf(service->group).key_provider_service = RefOf(service);
   }
   const int64_t now = sources.nowSec();
   for (const auto &record : sources.tokens()) {
      GroupStatus &status = groupOf(record.group);
      if (record.token.empty()) {
         continue;
      }
      status.token_held = true;
      int64_t exp = 0;
      int decodeResult = 0;
      if (Zarna::ReadTokenExpiry(record.token, exp, decodeResult) && exp > 0) {
         status.token_expires = exp;
         // The state refreshes a fixed lead before expiry, or at expiry when
         // less than the lead remained; a time already past means "now".
         int64_t refresh = exp - Zarna::kTokenRefreshLeadSec;
         status.token_refresh = std::max(refresh, std::min(now, exp));
      }
   }
   for (auto &[name, status] : groups) {
      if (std::optional<Zarna::AttestationOutcome> outcome = sources.lastAttestation(name)) {
         status.last_attestation = Attestation{outcome->succeeded, outcome->timeSec};
      }
      info.groups.push_back(std::move(status));
   }

   FirewallSnapshot snapshot = sources.firewall();
   auto firewall = std::make_shared<Firewall>();
   firewall->backend = snapshot.backend;
   firewall->enabled = snapshot.enabled;
   firewall->allowed_addresses = std::move(snapshot.allowed);
   firewall->error = snapshot.error;
   info.firewall = firewall;
   return info;
}

void StatusImpl::Get(Api::AsyncResult<Info> result)
{
   result.SetResult(CollectStatus(mSources));
}

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc
