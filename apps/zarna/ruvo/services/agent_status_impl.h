// The agent's status report: version and uptime, the kernel channel, each
// group with its two services, token times (never the token), the latest
// attestation, and the firewall allow-list. Read-only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "api/trusted_infrastructure_agent_status.h"
#include "apps/zarna/state/attestation_record.h"
#include "apps/zarna/state/service_types.h"
#include "apps/zarna/state/zarna_state.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc {

struct FirewallSnapshot {
   std::string backend;
   bool enabled = false;
   std::vector<std::string> allowed;
   std::optional<std::string> error;
};

// Where the report comes from; the defaults read the running agent, tests
// give their own.
struct StatusSources {
   std::function<Zarna::ZarnaState::ServiceList()> attestationServices;
   std::function<Zarna::ZarnaState::ServiceList()> keyProviderServices;
   std::function<std::vector<Zarna::ZarnaStateInfo>()> tokens;
   std::function<bool()> kernelChannelRegistered;
   std::function<FirewallSnapshot()> firewall;
   std::function<std::optional<Zarna::AttestationOutcome>(const std::string &group)>
       lastAttestation;
   std::function<int64_t()> nowSec;    // wall clock
   std::function<int64_t()> uptimeSec; // since the agent started
   std::string version;
   int64_t build = 0;
};

StatusSources DefaultStatusSources(const std::string &version, int64_t build);

// Builds the report (the operation's result) from `sources`.
Info CollectStatus(const StatusSources &sources);

class StatusImpl : public AsyncServiceInterface {
public:
   explicit StatusImpl(StatusSources sources) : mSources(std::move(sources)) {}
   void Get(Api::AsyncResult<Info> result) override;

private:
   const StatusSources mSources;
};

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc
