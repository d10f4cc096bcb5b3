#include "apps/zarna/ruvo/services/attestation_services_impl.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Attestation::ServicesSvc {

ServicesImpl::ServicesImpl() : ServicesImpl(&Zarna::ZarnaState::GetInstance) {}

ServicesImpl::ServicesImpl(Zarna::ServiceApi::StateProvider stateProvider)
    : ServicesImplFor(Zarna::ServiceApi::kAttestdErrors, std::move(stateProvider))
{
}

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Attestation::ServicesSvc
