// com.talvor.brim.trusted_infrastructure.agent.status: what an operator asks
// first. Read-only; never carries a token.
#pragma once

#include "api/binding_support.h"
#include "api/trusted_infrastructure_services.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc {

inline constexpr const char *kInterfaceId = "com.talvor.brim.trusted_infrastructure.agent.status";

struct ServiceRef {
   std::string service; // the service identifier
   std::shared_ptr<const NetworkAddress> address;

   static constexpr const char *kStructName =
       "com.talvor.brim.trusted_infrastructure.agent.status.service_ref";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("service", &ServiceRef::service),
                             Api::Field("address", &ServiceRef::address));
   }
};

struct Attestation {
   bool succeeded = false;
   int64_t time = 0; // seconds since the epoch, UTC

   static constexpr const char *kStructName =
       "com.talvor.brim.trusted_infrastructure.agent.status.attestation";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("succeeded", &Attestation::succeeded),
                             Api::Field("time", &Attestation::time));
   }
};

struct GroupStatus {
   std::string group;
   std::optional<ServiceRef> attestation_service;
   std::optional<ServiceRef> key_provider_service;
   bool token_held = false;
   std::optional<int64_t> token_expires; // seconds since the epoch
   std::optional<int64_t> token_refresh; // when the agent attests again for it
   std::optional<Attestation> last_attestation;

   static constexpr const char *kStructName =
       "com.talvor.brim.trusted_infrastructure.agent.status.group_status";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("group", &GroupStatus::group),
                             Api::Field("attestation_service", &GroupStatus::attestation_service),
                             Api::Field("key_provider_service", &GroupStatus::key_provider_service),
                             Api::Field("token_held", &GroupStatus::token_held),
                             Api::Field("token_expires", &GroupStatus::token_expires),
                             Api::Field("token_refresh", &GroupStatus::token_refresh),
                             Api::Field("last_attestation", &GroupStatus::last_attestation));
   }
};

struct Firewall {
   std::string backend;
   bool enabled = false;
   std::vector<std::string> allowed_addresses;
   std::optional<std::string> error; // the ruleset could not be read

   static constexpr const char *kStructName =
       "com.talvor.brim.trusted_infrastructure.agent.status.firewall";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("backend", &Firewall::backend),
                             Api::Field("enabled", &Firewall::enabled),
                             Api::Field("allowed_addresses", &Firewall::allowed_addresses),
                             Api::Field("error", &Firewall::error));
   }
};

struct Info {
   std::string version;
   int64_t build = 0;
   int64_t uptime_seconds = 0;
   bool kernel_channel_registered = false;
   std::vector<GroupStatus> groups;
   std::shared_ptr<const Firewall> firewall;

   static constexpr const char *kStructName =
       "com.talvor.brim.trusted_infrastructure.agent.status.info";
   static constexpr auto Fields()
   {
      return std::make_tuple(
          Api::Field("version", &Info::version), Api::Field("build", &Info::build),
          Api::Field("uptime_seconds", &Info::uptime_seconds),
          Api::Field("kernel_channel_registered", &Info::kernel_channel_registered),
          Api::Field("groups", &Info::groups), Api::Field("firewall", &Info::firewall));
   }
};

using GetMethod = Api::Operation<"get", Info>;
using Interface =
    Api::InterfaceDecl<"com.talvor.brim.trusted_infrastructure.agent.status", GetMethod>;

class AsyncServiceInterface {
public:
   virtual void Get(Api::AsyncResult<Info> result) = 0;
   virtual ~AsyncServiceInterface() = default;
};

using AsyncServiceBinder =
    ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface, &AsyncServiceInterface::Get>;

class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
public:
   using ServiceStub::ServiceStub;
   void Get(const Api::ActivationPtr &activation, Api::AsyncResult<Info> result) const
   {
      Call<GetMethod>(activation, std::move(result));
   }
};

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc
