// The PEM markers of an X.509 certificate, as certificates are standardized with.
#pragma once

namespace Zarna {

inline constexpr const char *kPemCertBegin = "-----BEGIN CERTIFICATE-----";
inline constexpr const char *kPemCertEnd = "-----END CERTIFICATE-----";

} // namespace Zarna
