#include "apps/zarna/ruvo/messages.h"

#include "runtime/ruvo/std/error_factory.h"
#include "runtime/ruvo/std/std_errors.h"

namespace Zarna {

namespace Errors = Com::Talvor::Ruvo::Std::Errors;

const std::array<CatalogueEntry, 25> MessageCatalogue = {{
   {ErrorIds::kAttestMaxRoundTrips,
    "Internal failure during attestation. Maximum allowable attestation services round trips reached."},
   {ErrorIds::kAttestNumContexts,
    "Internal failure during attestation. Unexpected number of contexts."},
   {ErrorIds::kAttestProcessContext,
    "Internal failure during attestation. Unable to process context."},
   {ErrorIds::kAttestUnexpectedResult,
    "Internal failure during attestation. Unexpected result format."},
   {ErrorIds::kAttestConnectionSetupFailure,
    "Failed to setup Attestation service connection."},
   {ErrorIds::kAttestNoEk,
    "TPM2 endorsement public key or certificate could not be retrieved."},
   {ErrorIds::kAttestNoTpm2,
    "No TPM2 device available."},
   {ErrorIds::kAttestTimeout,
    "Timeout waiting for pending attestation."},
   {ErrorIds::kAttestServicesInvalidPort,
    "Invalid Attestation Service port {port}."},
   {ErrorIds::kAttestServicesAlreadyExists,
    "Attestation Service already exists."},
   {ErrorIds::kAttestServicesHostConfigurationError,
    "Error accessing service configuration."},
   {ErrorIds::kAttestServicesInvalidCertificates,
    "Invalid Attestation Service certificate."},
   {ErrorIds::kAttestServicesNotConfigured,
    "Attestation Services not configured."},
   {ErrorIds::kAttestServicesNotFound,
    "Attestion Service not found {service}."},
   {ErrorIds::kAttestServicesGroupAlreadyExists,
    "Only one Attestion Service per group is allowed. Offending group: {group}."},
   {ErrorIds::kFirewallError,
    "Unable to update firewall."},
   {ErrorIds::kKmsServicesInvalidPort,
    "Invalid Key Provider Service port {port}."},
   {ErrorIds::kKmsServicesAlreadyExists,
    "Key Provider Service already exists."},
   {ErrorIds::kKmsServicesHostConfigurationError,
    "Error accessing service configuration."},
   {ErrorIds::kKmsServicesHostNotAttested,
    "Operation failed as host is not attested."},
   {ErrorIds::kServicesCannotCommunicate,
    "Unable to communciate with Veritor services."},
   {ErrorIds::kKmsServicesInvalidCertificates,
    "Invalid Key Provider Service certificate."},
   {ErrorIds::kKmsServicesNotFound,
    "Key Provider Service not found {service}."},
   {ErrorIds::kKmsServicesGroupAlreadyExists,
    "Only one Key Provider Service per group is allowed. Offending group: {group}."},
   {ErrorIds::kVeritorServicesNotConfigured,
    "Incomplete or missing Veritor Components configuration."},
}};

namespace {

template <class E>
E WithType(std::optional<Errors::ErrorType> type, std::vector<Ruvo::BaseMessage> messages)
{
   E error;
   error.error_type = type;
   error.messages = std::move(messages);
   return error;
}

// Builds the error structure of the class and turns it into an error value with
// its messages rendered in the agent's locale.
Ruvo::Data::ErrorValuePtr ToValue(ErrorClass errorClass, std::vector<Ruvo::BaseMessage> messages)
{
   using Ruvo::Data::ErrorFactory;
   switch (errorClass) {
   case ErrorClass::NotFound:
      return ErrorFactory::ToErrorValue(
         WithType<Errors::NotFound>(Errors::ErrorType::NOT_FOUND, std::move(messages)), DefaultLocale());
   case ErrorClass::AlreadyExists:
      return ErrorFactory::ToErrorValue(
         WithType<Errors::AlreadyExists>(Errors::ErrorType::ALREADY_EXISTS, std::move(messages)),
         DefaultLocale());
   case ErrorClass::InvalidArgument:
      return ErrorFactory::ToErrorValue(
         WithType<Errors::InvalidArgument>(Errors::ErrorType::INVALID_ARGUMENT, std::move(messages)),
         DefaultLocale());
   case ErrorClass::Error: break;
   }
   return ErrorFactory::ToErrorValue(WithType<Errors::Error>(std::nullopt, std::move(messages)),
                                     DefaultLocale());
}

} // namespace

std::string LookupDefaultMessage(const std::string &id, std::string_view)
{
   for (const auto &entry : MessageCatalogue) {
      if (id == entry.id) {
         return entry.text;
      }
   }
   return kUnknownMessage;
}

std::string LookupDefaultMessage(const std::string &id, std::string_view language, std::error_code &)
{
   return LookupDefaultMessage(id, language);
}

const Ruvo::L10n::LocaleSpec &DefaultLocale()
{
   static const Ruvo::L10n::LocaleSpec locale{{"en_US"}, "C", "Etc/UTC"};
   return locale;
}

Ruvo::BaseMessage MakeMessage(const std::string &id)
{
   return Ruvo::BaseMessage(id, LookupDefaultMessage(id, "en_US"));
}

Ruvo::NamedMessageBuilder MakeNamedMessage(const std::string &id, const std::string &name,
                                           Ruvo::MessageArg value)
{
   Ruvo::NamedMessageBuilder builder(id, "");
   std::visit([&](auto &&v) { builder.put(name, v); }, value);
   return builder;
}

Ruvo::Data::ErrorValuePtr MakeError(ErrorClass errorClass, const std::string &id,
                                    const std::vector<Ruvo::BaseMessage> &more)
{
   Ruvo::Data::ErrorValuePtr error = ToValue(errorClass, {MakeMessage(id)});
   if (!more.empty()) {
      auto list = Ruvo::Data::MessagesToValue(error->messages(), false);
      for (const auto &message : more) {
         list->Add(Ruvo::Data::MessageToValue(message));
      }
      error->SetField(Ruvo::Data::StdErrors::kMessagesField, list);
   }
   return error;
}

Ruvo::Data::NativeError MakeNamedError(ErrorClass errorClass, const std::string &id,
                                       const std::string &name, Ruvo::MessageArg value)
{
   return Ruvo::Data::NativeError(ToValue(errorClass, {}), {MakeNamedMessage(id, name, std::move(value))});
}

} // namespace Zarna
