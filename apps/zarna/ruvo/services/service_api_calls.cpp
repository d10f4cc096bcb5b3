#include "apps/zarna/ruvo/services/service_api_calls.h"

#include "apps/zarna/ruvo/messages.h"
#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/std/error_factory.h"
#include "runtime/ruvo/std/std_errors.h"

namespace Zarna::ServiceApi {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;

const KindErrors kAttestdErrors = {
    ZarnaState::Kind::Attestd,
    ErrorIds::kAttestServicesInvalidPort,
    ErrorIds::kAttestServicesAlreadyExists,
    ErrorIds::kAttestServicesHostConfigurationError,
    ErrorIds::kAttestServicesInvalidCertificates,
    ErrorIds::kAttestServicesNotFound,
    ErrorIds::kAttestServicesGroupAlreadyExists,
};

const KindErrors kZarndErrors = {
    ZarnaState::Kind::Zarnd,
    ErrorIds::kKmsServicesInvalidPort,
    ErrorIds::kKmsServicesAlreadyExists,
    ErrorIds::kKmsServicesHostConfigurationError,
    ErrorIds::kKmsServicesInvalidCertificates,
    ErrorIds::kKmsServicesNotFound,
    ErrorIds::kKmsServicesGroupAlreadyExists,
};

namespace {

constexpr uint64_t kMaxPort = 65535;

// A caller's text is refused where it enters, so an over-long one never reaches
// the state, the store or a log line.
std::optional<::Ruvo::Data::ErrorValuePtr> CheckLength(const char *field, const std::string &text,
                                                       size_t limit)
{
   if (text.size() <= limit) {
      return std::nullopt;
   }
   namespace Errors = Com::Talvor::Ruvo::Std::Errors;
   Errors::InvalidArgument error;
   error.error_type = Errors::ErrorType::INVALID_ARGUMENT;
   error.messages.push_back(
       ::Ruvo::CoreMessage::Make(::Ruvo::MessageIds::kDataInvalidValue,
                                 {field, "longer than " + std::to_string(limit) + " bytes"}));
   return ::Ruvo::Data::ErrorFactory::ToErrorValue(error, DefaultLocale());
}

NetworkAddress FromApi(const Ti::NetworkAddress &address)
{
   return NetworkAddress{address.hostname, address.port};
}

std::shared_ptr<const Ti::NetworkAddress> ToApi(const NetworkAddress &address)
{
   return std::make_shared<const Ti::NetworkAddress>(
       Ti::NetworkAddress{address.hostname, address.port});
}

} // namespace

void List(const KindErrors &kind, ZarnaState &state, const std::optional<Api::FilterSpec> &filter,
          ::Ruvo::AsyncResult<Api::SummaryList> result)
{
   std::optional<ServiceFilter> stateFilter;
   if (filter) {
      stateFilter.emplace();
      stateFilter->instanceIds = filter->services;
      if (filter->addresses) {
         std::vector<NetworkAddress> addresses;
         for (const Ti::NetworkAddress &address : *filter->addresses) {
            addresses.push_back(FromApi(address));
         }
         stateFilter->addresses = std::move(addresses);
      }
      stateFilter->groups = filter->groups;
   }
   ZarnaState::ServiceList services = kind.kind == ZarnaState::Kind::Attestd
                                          ? state.ListAttestdServices(stateFilter)
                                          : state.ListZarndServices(stateFilter);
   Api::SummaryList summaries;
   summaries.reserve(services.size());
   for (const auto &service : services) {
      summaries.push_back(std::make_shared<const Api::Summary>(
          Api::Summary{service->instanceId, ToApi(*service->address), service->group}));
   }
   result.SetResult(std::move(summaries));
}

void Get(const KindErrors &kind, ZarnaState &state, const std::string &service,
         ::Ruvo::AsyncResult<Api::Info> result)
{
   if (auto tooLong = CheckLength("service", service, kMaxServiceIdLength)) {
      result.SetError(*tooLong);
      return;
   }
   std::shared_ptr<const ServiceInfo> record;
   ServiceResult found = kind.kind == ZarnaState::Kind::Attestd
                             ? state.GetAttestdService(service, record)
                             : state.GetZarndService(service, record);
   if (found != ServiceResult::Ok) {
      result.SetError(MakeNamedError(ErrorClass::NotFound, kind.notFound, "service", service));
      return;
   }
   Api::Info info;
   info.address = ToApi(*record->address);
   info.trusted_CA =
       std::make_shared<const Ti::X509CertChain>(Ti::X509CertChain{record->certChain->certs});
   info.group = record->group;
   result.SetResult(std::move(info));
}

void Create(const KindErrors &kind, ZarnaState &state, const Api::CreateSpec &spec,
            ::Ruvo::AsyncResult<std::string> result)
{
   auto address = std::make_shared<const NetworkAddress>(spec.address ? FromApi(*spec.address)
                                                                      : NetworkAddress{});
   // Negative ports read as huge unsigned numbers, so one comparison refuses both.
   if (address->port && static_cast<uint64_t>(*address->port) > kMaxPort) {
      result.SetError(MakeNamedError(ErrorClass::InvalidArgument, kind.invalidPort, "port",
                                     static_cast<int64_t>(*address->port)));
      return;
   }
   if (auto tooLong = CheckLength("spec.address.hostname", address->hostname, kMaxHostnameLength)) {
      result.SetError(*tooLong);
      return;
   }
   if (auto tooLong = CheckLength("spec.group", spec.group, kMaxGroupLength)) {
      result.SetError(*tooLong);
      return;
   }
   auto certChain = std::make_shared<const X509CertChain>(
       X509CertChain{spec.trusted_CA ? spec.trusted_CA->cert_chain : std::vector<std::string>{}});

   std::string instanceId;
   ServiceResult inserted =
       kind.kind == ZarnaState::Kind::Attestd
           ? state.InsertAttestdInfo(address, certChain, spec.group, instanceId)
           : state.InsertZarndInfo(address, certChain, spec.group, instanceId);
   switch (inserted) {
   case ServiceResult::AlreadyExists:
      result.SetError(MakeError(ErrorClass::AlreadyExists, kind.alreadyExists));
      return;
   case ServiceResult::InvalidCertificates:
      result.SetError(MakeError(ErrorClass::InvalidArgument, kind.invalidCertificates));
      return;
   case ServiceResult::ConfigStoreFailure:
      result.SetError(MakeError(ErrorClass::Error, kind.hostConfigurationError));
      return;
   case ServiceResult::GroupAlreadyServed:
      result.SetError(
          MakeNamedError(ErrorClass::AlreadyExists, kind.groupAlreadyExists, "group", spec.group));
      return;
   case ServiceResult::FirewallFailure:
      result.SetError(MakeError(ErrorClass::Error, ErrorIds::kFirewallError));
      return;
   default:
      result.SetResult(std::move(instanceId));
      return;
   }
}

void Delete(const KindErrors &kind, ZarnaState &state, const std::string &service,
            ::Ruvo::AsyncResult<::Ruvo::Void> result)
{
   if (auto tooLong = CheckLength("service", service, kMaxServiceIdLength)) {
      result.SetError(*tooLong);
      return;
   }
   ServiceResult deleted = kind.kind == ZarnaState::Kind::Attestd ? state.DeleteAttestdInfo(service)
                                                                  : state.DeleteZarndInfo(service);
   switch (deleted) {
   case ServiceResult::ConfigStoreFailure:
      result.SetError(MakeError(ErrorClass::Error, kind.hostConfigurationError));
      return;
   case ServiceResult::NotFound:
      result.SetError(MakeNamedError(ErrorClass::NotFound, kind.notFound, "service", service));
      return;
   default:
      result.SetResult();
      return;
   }
}

} // namespace Zarna::ServiceApi
