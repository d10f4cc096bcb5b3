// What zarnd is told on its command line: its providers with their status, and a
// fault to play for tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/kms_providers.h"

namespace Zarnd {

using ProviderStatus = Com::Talvor::Brim::Kms::Providers::StatusSvc::Status;

struct ProviderConfig {
   std::string name;
   ProviderStatus status = ProviderStatus::HEALTHY;
};

// NAME or NAME:STATUS, STATUS one of unknown, available, degraded, unavailable
// (or 0 to 3). Names are 1 to 64 characters of [A-Za-z0-9._-].
bool ParseProvider(std::string_view text, ProviderConfig &out);
bool IsValidProviderName(std::string_view name);
const char *StatusName(ProviderStatus status);

enum class FaultKind {
   None,
   // Every call fails with this standard error.
   Unauthenticated,
   Unauthorized,
   InvalidArgument,
   NotFound,
   Error,
   Internal,
   Garbage,    // a reply body that is not JSON
   Close,      // the connection closed without a reply
   WrongId,    // the reply answers another request id
   Delay,      // every reply held back delayMs
   StatusFail, // the status query of one provider fails with one error type
};

struct Fault {
   FaultKind kind = FaultKind::None;
   int64_t delayMs = 0;
   std::string statusProvider;
   FaultKind statusError = FaultKind::None;
};

// none|unauthenticated|unauthorized|invalid-argument|not-found|error|internal|
// garbage|close|wrong-id|delay:MS|status-fail:NAME:TYPE (TYPE one of the error kinds).
bool ParseFault(std::string_view text, Fault &out);

} // namespace Zarnd
