#include "apps/zarna/ruvo/messages.h"

#include <gtest/gtest.h>

#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/l10n/localizer.h"
#include "runtime/ruvo/std/error_factory.h"

namespace {

using Zarna::ErrorClass;

TEST(MessageCatalogue, HoldsExactlyTheAgentsMessagesInOrder)
{
   const std::pair<const char *, const char *> expected[] = {
      {"com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_maxRoundTrips",
       "Internal failure during attestation. Maximum allowable attestation services round trips reached."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_numContexts",
       "Internal failure during attestation. Unexpected number of contexts."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_processContext",
       "Internal failure during attestation. Unable to process context."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.internal_attest_failure_unexpectedResult",
       "Internal failure during attestation. Unexpected result format."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.connection_setup_failure",
       "Failed to setup Attestation service connection."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.no_ek",
       "TPM2 endorsement public key or certificate could not be retrieved."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.no_tpm2",
       "No TPM2 device available."},
      {"com.talvor.brim.trusted_infrastructure.attestation.client.timeout",
       "Timeout waiting for pending attestation."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.invalid_port",
       "Invalid Attestation Service port {port}."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.already_exists",
       "Attestation Service already exists."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.host_configuration_error",
       "Error accessing service configuration."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.invalid_certificates",
       "Invalid Attestation Service certificate."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.not_configured",
       "Attestation Services not configured."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.not_found",
       "Attestion Service not found {service}."},
      {"com.talvor.brim.trusted_infrastructure.attestation.services.group_already_exists",
       "Only one Attestion Service per group is allowed. Offending group: {group}."},
      {"com.talvor.brim.trusted_infrastructure.common.firewall_error",
       "Unable to update firewall."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.invalid_port",
       "Invalid Key Provider Service port {port}."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.already_exists",
       "Key Provider Service already exists."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.host_configuration_error",
       "Error accessing service configuration."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.host_not_attested",
       "Operation failed as host is not attested."},
      {"com.talvor.brim.trusted_infrastructure.services.cannot_communicate",
       "Unable to communciate with Veritor services."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.invalid_certificates",
       "Invalid Key Provider Service certificate."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.not_found",
       "Key Provider Service not found {service}."},
      {"com.talvor.brim.trusted_infrastructure.kms.services.group_already_exists",
       "Only one Key Provider Service per group is allowed. Offending group: {group}."},
      {"com.talvor.brim.trusted_infrastructure.veritor_services.not_configured",
       "Incomplete or missing Veritor Components configuration."},
   };
   ASSERT_EQ(Zarna::MessageCatalogue.size(), std::size(expected));
   for (size_t i = 0; i < std::size(expected); ++i) {
      EXPECT_STREQ(Zarna::MessageCatalogue[i].id, expected[i].first) << i;
      EXPECT_EQ(Zarna::LookupDefaultMessage(expected[i].first, "en_US"), expected[i].second) << i;
   }
}

TEST(MessageCatalogue, UnknownIdentifiersGetTheFallbackText)
{
   EXPECT_EQ(Zarna::LookupDefaultMessage("", "en_US"), "Unknown message.");
   EXPECT_EQ(Zarna::LookupDefaultMessage("com.talvor.brim.trusted_infrastructure.KMS.services.not_found", "en_US"),
             "Unknown message.");
   EXPECT_EQ(Zarna::LookupDefaultMessage(std::string(Zarna::ErrorIds::kFirewallError) + " ", "en_US"),
             "Unknown message.");
   EXPECT_EQ(Zarna::LookupDefaultMessage(Zarna::ErrorIds::kKmsServicesNotFound, "de_DE"),
             "Key Provider Service not found {service}.");
   EXPECT_EQ(Zarna::LookupDefaultMessage(Zarna::ErrorIds::kAttestServicesHostConfigurationError, ""),
             Zarna::LookupDefaultMessage(Zarna::ErrorIds::kKmsServicesHostConfigurationError, ""));
   std::error_code ec = std::make_error_code(std::errc::io_error);
   EXPECT_EQ(Zarna::LookupDefaultMessage("x", "en_US", ec), "Unknown message.");
   EXPECT_EQ(ec, std::make_error_code(std::errc::io_error));
}

std::string ErrorType(const Ruvo::Data::ErrorValuePtr &error)
{
   const auto *type = Ruvo::Data::As<Ruvo::Data::StringValue>(Ruvo::Binding::UnwrapOptional(error->GetField("error_type")));
   return type ? type->GetValue() : "";
}

TEST(AgentErrors, PlainErrorsCarryClassTypeAndTheCatalogueText)
{
   auto generic = Zarna::MakeError(ErrorClass::Error, Zarna::ErrorIds::kFirewallError);
   EXPECT_EQ(generic->GetName(), "com.talvor.ruvo.std.errors.error");
   EXPECT_EQ(ErrorType(generic), "");
   ASSERT_EQ(generic->messages().size(), 1u);
   EXPECT_EQ(generic->messages()[0].GetId(), Zarna::ErrorIds::kFirewallError);
   EXPECT_EQ(generic->messages()[0].GetDefaultMessage(), "Unable to update firewall.");

   auto exists = Zarna::MakeError(ErrorClass::AlreadyExists, Zarna::ErrorIds::kKmsServicesAlreadyExists);
   EXPECT_EQ(exists->GetName(), "com.talvor.ruvo.std.errors.already_exists");
   EXPECT_EQ(ErrorType(exists), "ALREADY_EXISTS");
   auto invalid = Zarna::MakeError(ErrorClass::InvalidArgument, Zarna::ErrorIds::kKmsServicesInvalidCertificates);
   EXPECT_EQ(ErrorType(invalid), "INVALID_ARGUMENT");

   Com::Talvor::Ruvo::Std::Errors::AlreadyExists native;
   ASSERT_TRUE(Ruvo::Data::ErrorFactory::FromErrorValue(exists, native));
   EXPECT_EQ(static_cast<int>(*native.error_type), 1);
   Com::Talvor::Ruvo::Std::Errors::InvalidArgument nativeInvalid;
   ASSERT_TRUE(Ruvo::Data::ErrorFactory::FromErrorValue(invalid, nativeInvalid));
   EXPECT_EQ(static_cast<int>(*nativeInvalid.error_type), 7);

   // Raised without its argument, the placeholder stays visible.
   auto notFound = Zarna::MakeError(ErrorClass::Error, Zarna::ErrorIds::kKmsServicesNotFound);
   EXPECT_EQ(notFound->messages()[0].GetDefaultMessage(), "Key Provider Service not found {service}.");

   auto remote = Ruvo::BaseMessage("remote.id", "Remote {text}");
   auto converted = Zarna::MakeError(ErrorClass::Error, Zarna::ErrorIds::kServicesCannotCommunicate, {remote});
   ASSERT_EQ(converted->messages().size(), 2u);
   EXPECT_EQ(converted->messages()[0].GetDefaultMessage(), "Unable to communciate with Veritor services.");
   EXPECT_EQ(converted->messages()[1].GetDefaultMessage(), "Remote {text}");
}

TEST(AgentErrors, NamedErrorsAreRenderedByTheLocalizer)
{
   Ruvo::L10n::Localizer localizer({"en_US"}, [](const std::string &id, std::string_view lang, std::error_code &ec) {
      return Zarna::LookupDefaultMessage(id, lang, ec);
   });
   auto port = Zarna::MakeNamedError(ErrorClass::InvalidArgument, Zarna::ErrorIds::kAttestServicesInvalidPort, "port",
                                     int64_t{65536});
   EXPECT_EQ(ErrorType(port.GetError()), "INVALID_ARGUMENT");
   EXPECT_TRUE(port.GetError()->messages().empty());
   ASSERT_EQ(port.GetBuilders().size(), 1u);
   EXPECT_EQ(port.GetBuilders()[0].Build().GetDefaultMessage(), "");
   auto rendered = localizer.Render(port.GetError(), port.GetBuilders(), Zarna::DefaultLocale());
   EXPECT_EQ(rendered->messages().at(0).GetDefaultMessage(), "Invalid Attestation Service port 65536.");

   auto service = Zarna::MakeNamedError(ErrorClass::NotFound, Zarna::ErrorIds::kAttestServicesNotFound, "service",
                                        std::string("abc-123"));
   EXPECT_EQ(service.GetError()->GetName(), "com.talvor.ruvo.std.errors.not_found");
   EXPECT_EQ(ErrorType(service.GetError()), "NOT_FOUND");
   rendered = localizer.Render(service.GetError(), service.GetBuilders(), Zarna::DefaultLocale());
   EXPECT_EQ(rendered->messages().at(0).GetDefaultMessage(), "Attestion Service not found abc-123.");

   auto group = Zarna::MakeNamedError(ErrorClass::AlreadyExists, Zarna::ErrorIds::kKmsServicesGroupAlreadyExists,
                                      "group", std::string("g1"));
   rendered = localizer.Render(group.GetError(), group.GetBuilders(), Zarna::DefaultLocale());
   EXPECT_EQ(rendered->messages().at(0).GetDefaultMessage(),
             "Only one Key Provider Service per group is allowed. Offending group: g1.");
   EXPECT_EQ(Zarna::DefaultLocale().formatLocale, "C");
   EXPECT_EQ(Zarna::DefaultLocale().timeZone, "Etc/UTC");
}

} // namespace
