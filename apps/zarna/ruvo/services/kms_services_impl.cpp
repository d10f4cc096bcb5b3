#include "apps/zarna/ruvo/services/kms_services_impl.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ServicesSvc {

ServicesImpl::ServicesImpl() : ServicesImpl(&Zarna::ZarnaState::GetInstance) {}

ServicesImpl::ServicesImpl(Zarna::ServiceApi::StateProvider stateProvider)
    : ServicesImplFor(Zarna::ServiceApi::kZarndErrors, std::move(stateProvider))
{
}

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ServicesSvc
