// Error values that the trust state hands to its callers.
#pragma once

#include "runtime/ruvo/data/error_value.h"

namespace Zarna {

// No trust group is configured: "...veritor_services.not_configured".
Ruvo::Data::ErrorValuePtr MakeVeritorNotConfiguredError();

} // namespace Zarna
