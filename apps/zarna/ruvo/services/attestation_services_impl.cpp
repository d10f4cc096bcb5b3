#include "apps/zarna/ruvo/services/attestation_services_impl.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Attestation::ServicesSvc {

namespace Calls = Zarna::ServiceApi;

ServicesImpl::ServicesImpl() : ServicesImpl(&Zarna::ZarnaState::GetInstance) {}

ServicesImpl::ServicesImpl(Calls::StateProvider stateProvider)
    : mStateProvider(std::move(stateProvider))
{
}

void ServicesImpl::List(const std::optional<FilterSpec> &filter,
                        Api::AsyncResult<SummaryList> result)
{
   Calls::List(Calls::kAttestdErrors, *mStateProvider(), filter, std::move(result));
}

void ServicesImpl::Get(const std::string &service, Api::AsyncResult<Info> result)
{
   Calls::Get(Calls::kAttestdErrors, *mStateProvider(), service, std::move(result));
}

void ServicesImpl::Create(const CreateSpec &spec, Api::AsyncResult<std::string> result)
{
   Calls::Create(Calls::kAttestdErrors, *mStateProvider(), spec, std::move(result));
}

void ServicesImpl::Delete(const std::string &service, Api::AsyncResult<::Ruvo::Void> result)
{
   Calls::Delete(Calls::kAttestdErrors, *mStateProvider(), service, std::move(result));
}

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Attestation::ServicesSvc
