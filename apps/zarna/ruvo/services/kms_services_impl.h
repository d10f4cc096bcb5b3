// The management API of the host's key provider services (zarnd peers): list, get, create and
// delete, one service per trust group. Validates the port, calls the trust state and turns its
// result codes into the agent's error values.
#pragma once

#include "api/trusted_infrastructure_services.h"
#include "apps/zarna/ruvo/services/service_api_calls.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ServicesSvc {

class ServicesImpl : public Zarna::ServiceApi::ServicesImplFor<AsyncServiceInterface> {
public:
   // Every call works on the process-wide trust state.
   ServicesImpl();
   // Every call works on the state that the provider yields (tests).
   explicit ServicesImpl(Zarna::ServiceApi::StateProvider stateProvider);
};

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ServicesSvc
