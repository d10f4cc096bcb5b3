// What the agent publishes as its management API: the shared localizer and the
// two provider chains, one for the TCP endpoint and one for the local socket.
#pragma once

#include <vector>

#include "apps/zarna/ruvo/provider/api_security.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/l10n/localizer.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/provider/direct_enqueuer.h"

namespace Zarna {

// The one localizer of the agent: locale "en_US", messages from the agent's catalogue.
Ruvo::L10n::LocalizerPtr CreateLocalizer();

// The management bindings, then the metadata services over the runtime's
// metadata containers.
std::vector<Ruvo::Core::ApiInterfacePtr>
CreateTcpBindings(const Ruvo::L10n::LocalizerPtr &localizer);

// Loads the API metadata (stopping the process when it cannot), then
// OpIdProvider -> authentication filter (token handler) -> authorization filter
// -> local provider with the TCP bindings.
Ruvo::Core::AsyncApiProviderPtr CreateTcpProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                                                       const Ruvo::L10n::LocalizerPtr &localizer,
                                                       const Ruvo::Log::LoggerPtr &logger,
                                                       const ApiSecurity &security);

// OpIdProvider -> a line naming the local caller -> local provider with the key
// operation binding.
Ruvo::Core::AsyncApiProviderPtr
CreateLocalSocketProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                               const Ruvo::L10n::LocalizerPtr &localizer,
                               const Ruvo::Log::LoggerPtr &logger);

} // namespace Zarna
