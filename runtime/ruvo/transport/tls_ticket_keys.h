// Session tickets issued by the TLS server mode, under keys that rotate: a ticket
// is accepted while its key is the current or the previous one (and renewed under
// the current key in the latter case), so none outlives two rotation periods.
#pragma once

#include <chrono>

#include <openssl/ssl.h>

namespace Ruvo::Security::Openssl {

inline constexpr std::chrono::seconds kTicketKeyRotation{3600};

// Installs fresh random keys of this context's own; false on failure.
bool EnableRotatingTickets(SSL_CTX *ctx, std::chrono::seconds rotation = kTicketKeyRotation);

} // namespace Ruvo::Security::Openssl
