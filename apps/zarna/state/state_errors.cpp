#include "apps/zarna/state/state_errors.h"

namespace Zarna {

Ruvo::Data::ErrorValuePtr MakeVeritorNotConfiguredError()
{
   const char *id = "com.talvor.brim.trusted_infrastructure.veritor_services.not_configured";
   return Ruvo::Data::StdErrors::Make(
       Ruvo::Data::StdErrors::kError,
       {Ruvo::BaseMessage(id, "Incomplete or missing Veritor Components configuration.")});
}

} // namespace Zarna
