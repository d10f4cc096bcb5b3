// What the agent publishes as its management API: the shared localizer and the
// two provider chains, one for the TCP endpoint and one for the local socket.
#pragma once

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/l10n/localizer.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/provider/direct_enqueuer.h"

namespace Zarna {

// The one localizer of the agent: locale "en_US", messages from the agent's catalogue.
Ruvo::L10n::LocalizerPtr CreateLocalizer();

// OpIdProvider -> local provider with the attestation services and key provider
// services bindings.
Ruvo::Core::AsyncApiProviderPtr CreateTcpProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                                                       const Ruvo::L10n::LocalizerPtr &localizer,
                                                       const Ruvo::Log::LoggerPtr &logger);

// OpIdProvider -> local provider with the key operation binding.
Ruvo::Core::AsyncApiProviderPtr CreateLocalSocketProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                                                               const Ruvo::L10n::LocalizerPtr &localizer,
                                                               const Ruvo::Log::LoggerPtr &logger);

} // namespace Zarna
