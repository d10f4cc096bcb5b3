// Names under which the configured services live in the host configuration store.
#pragma once

namespace Com::Talvor::Brim::TrustedInfrastructure {

inline constexpr const char *kGroup = "trusted_infrastructure";
inline constexpr const char *kComponent = "brim";

inline constexpr const char *kAttestationServicesKey = "attestation_services";
inline constexpr const char *kKmsServicesKey = "kms_services";

inline constexpr const char *kAddress = "address";
inline constexpr const char *kHostName = "hostname";
inline constexpr const char *kPort = "port";
inline constexpr const char *kTrustedCA = "trusted_CA";
inline constexpr const char *kCertChain = "cert_chain";
inline constexpr const char *kGroupId = "group";

} // namespace Com::Talvor::Brim::TrustedInfrastructure
