// The agent's error identifiers, their English texts, and the construction of the
// error values the management API and the clients report.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/l10n/locale_spec.h"

namespace Zarna {

namespace ErrorIds {
inline constexpr const char *kAttestMaxRoundTrips =
   "com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_maxRoundTrips";
inline constexpr const char *kAttestNumContexts =
   "com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_numContexts";
inline constexpr const char *kAttestProcessContext =
   "com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_processContext";
inline constexpr const char *kAttestUnexpectedResult =
   "com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_unexpectedResult";
inline constexpr const char *kAttestConnectionSetupFailure =
   "com.talvor.brim.trusted_infrastructure.attestation.client.connection_setup_failure";
inline constexpr const char *kAttestNoEk =
   "com.talvor.brim.trusted_infrastructure.attestation.client.no_ek";
inline constexpr const char *kAttestNoTpm2 =
   "com.talvor.brim.trusted_infrastructure.attestation.client.no_tpm2";
inline constexpr const char *kAttestTimeout =
   "com.talvor.brim.trusted_infrastructure.attestation.client.timeout";
inline constexpr const char *kAttestServicesInvalidPort =
   "com.talvor.brim.trusted_infrastructure.attestation.services.invalid_port";
inline constexpr const char *kAttestServicesAlreadyExists =
   "com.talvor.brim.trusted_infrastructure.attestation.services.already_exists";
inline constexpr const char *kAttestServicesHostConfigurationError =
   "com.talvor.brim.trusted_infrastructure.attestation.services.host_configuration_error";
inline constexpr const char *kAttestServicesInvalidCertificates =
   "com.talvor.brim.trusted_infrastructure.attestation.services.invalid_certificates";
inline constexpr const char *kAttestServicesNotConfigured =
   "com.talvor.brim.trusted_infrastructure.attestation.services.not_configured";
inline constexpr const char *kAttestServicesNotFound =
   "com.talvor.brim.trusted_infrastructure.attestation.services.not_found";
inline constexpr const char *kAttestServicesGroupAlreadyExists =
   "com.talvor.brim.trusted_infrastructure.attestation.services.group_already_exists";
inline constexpr const char *kFirewallError =
   "com.talvor.brim.trusted_infrastructure.common.firewall_error";
inline constexpr const char *kKmsServicesInvalidPort =
   "com.talvor.brim.trusted_infrastructure.kms.services.invalid_port";
inline constexpr const char *kKmsServicesAlreadyExists =
   "com.talvor.brim.trusted_infrastructure.kms.services.already_exists";
inline constexpr const char *kKmsServicesHostConfigurationError =
   "com.talvor.brim.trusted_infrastructure.kms.services.host_configuration_error";
inline constexpr const char *kKmsServicesHostNotAttested =
   "com.talvor.brim.trusted_infrastructure.kms.services.host_not_attested";
inline constexpr const char *kServicesCannotCommunicate =
   "com.talvor.brim.trusted_infrastructure.services.cannot_communicate";
inline constexpr const char *kKmsServicesInvalidCertificates =
   "com.talvor.brim.trusted_infrastructure.kms.services.invalid_certificates";
inline constexpr const char *kKmsServicesNotFound =
   "com.talvor.brim.trusted_infrastructure.kms.services.not_found";
inline constexpr const char *kKmsServicesGroupAlreadyExists =
   "com.talvor.brim.trusted_infrastructure.kms.services.group_already_exists";
inline constexpr const char *kVeritorServicesNotConfigured =
   "com.talvor.brim.trusted_infrastructure.veritor_services.not_configured";
} // namespace ErrorIds

struct CatalogueEntry {
   const char *id;
   const char *text;
};

// The closed set of the agent's messages, in a fixed order.
extern const std::array<CatalogueEntry, 25> MessageCatalogue;

inline constexpr const char *kUnknownMessage = "Unknown message.";

// The English template of an identifier (exact, case-sensitive match); "Unknown
// message." for any other identifier. The language is ignored.
std::string LookupDefaultMessage(const std::string &id, std::string_view language);
// The same, in the localizer's message-source form; `ec` is left untouched.
std::string LookupDefaultMessage(const std::string &id, std::string_view language, std::error_code &ec);

// Language "en_US", formatting locale "C", time zone "Etc/UTC".
const Ruvo::L10n::LocaleSpec &DefaultLocale();

// The standard error classes the agent raises.
enum class ErrorClass { Error, NotFound, AlreadyExists, InvalidArgument };

// A message with the catalogue text and no arguments.
Ruvo::BaseMessage MakeMessage(const std::string &id);
// A message whose text the service's localizer produces from the catalogue.
Ruvo::NamedMessageBuilder MakeNamedMessage(const std::string &id, const std::string &name,
                                           Ruvo::MessageArg value);

// An error of the class with the one plain message of `id`, followed by `more`
// messages as they are (already rendered, e.g. those of a remote error). Generic
// errors carry no error type; the others 12, 1 and 7.
Ruvo::Data::ErrorValuePtr MakeError(ErrorClass errorClass, const std::string &id,
                                    const std::vector<Ruvo::BaseMessage> &more = {});
// An error of the class whose one message is named and rendered later.
Ruvo::Data::NativeError MakeNamedError(ErrorClass errorClass, const std::string &id,
                                       const std::string &name, Ruvo::MessageArg value);

} // namespace Zarna
