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

// The longest texts a caller may hand in (bytes); longer ones are refused with
// an invalid-argument error. A DNS name has at most 253 characters; group names
// and service ids are ours, and the ids the store makes are far shorter.
inline constexpr size_t kMaxHostnameLength = 253;
inline constexpr size_t kMaxGroupLength = 128;
inline constexpr size_t kMaxServiceIdLength = 128;

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

// The four operations of one kind of service, for that kind's generated service
// interface (both kinds share the operation signatures).
template <typename ServiceInterface>
class ServicesImplFor : public ServiceInterface {
public:
   ServicesImplFor(const KindErrors &kind, StateProvider stateProvider)
       : mKind(kind), mStateProvider(std::move(stateProvider))
   {
   }

   void List(const std::optional<Api::FilterSpec> &filter,
             ::Ruvo::AsyncResult<Api::SummaryList> result) override
   {
      ServiceApi::List(mKind, *mStateProvider(), filter, std::move(result));
   }
   void Get(const std::string &service, ::Ruvo::AsyncResult<Api::Info> result) override
   {
      ServiceApi::Get(mKind, *mStateProvider(), service, std::move(result));
   }
   void Create(const Api::CreateSpec &spec, ::Ruvo::AsyncResult<std::string> result) override
   {
      ServiceApi::Create(mKind, *mStateProvider(), spec, std::move(result));
   }
   void Delete(const std::string &service, ::Ruvo::AsyncResult<::Ruvo::Void> result) override
   {
      ServiceApi::Delete(mKind, *mStateProvider(), service, std::move(result));
   }

private:
   const KindErrors &mKind;
   StateProvider mStateProvider;
};

} // namespace Zarna::ServiceApi
