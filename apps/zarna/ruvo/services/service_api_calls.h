// What the attestation services and key provider services APIs have in common:
// the same four operations over the trust state, told apart by the kind of
// service and the error identifiers of that kind.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "api/trusted_infrastructure_services.h"
#include "apps/zarna/state/zarna_state.h"

namespace Zarna::ServiceApi {

namespace Api = Com::Talvor::Brim::TrustedInfrastructure::ServicesApi;

using StateProvider = std::function<std::shared_ptr<ZarnaState>()>;

struct KindErrors {
   ZarnaState::Kind kind;
   const char *invalidPort;
   const char *alreadyExists;
   const char *hostConfigurationError;
   const char *invalidCertificates;
   const char *notFound;
   const char *groupAlreadyExists;
};

extern const KindErrors kAttestdErrors;
extern const KindErrors kZarndErrors;

void List(const KindErrors &kind, ZarnaState &state, const std::optional<Api::FilterSpec> &filter,
          ::Ruvo::AsyncResult<Api::SummaryList> result);
void Get(const KindErrors &kind, ZarnaState &state, const std::string &service,
         ::Ruvo::AsyncResult<Api::Info> result);
void Create(const KindErrors &kind, ZarnaState &state, const Api::CreateSpec &spec,
            ::Ruvo::AsyncResult<std::string> result);
void Delete(const KindErrors &kind, ZarnaState &state, const std::string &service,
            ::Ruvo::AsyncResult<::Ruvo::Void> result);

} // namespace Zarna::ServiceApi
