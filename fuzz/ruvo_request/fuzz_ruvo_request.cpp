// A server reads a request body from any peer: it must refuse or accept it without
// crashing, and whatever it accepts it must be able to write and print.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/attestation_report.h"
#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "api/trusted_infrastructure_providers.h"
#include "api/trusted_infrastructure_services.h"
#include "runtime/ruvo/json/json_rpc.h"

namespace {

bool RegisterAll()
{
   namespace B = Com::Talvor::Brim;
   B::TrustedInfrastructure::Attestation::ServicesSvc::Interface::RegisterSignatures();
   B::TrustedInfrastructure::Kms::ServicesSvc::Interface::RegisterSignatures();
   B::TrustedInfrastructure::Kms::ProvidersSvc::Interface::RegisterSignatures();
   B::Kms::KeyOperationSvc::Interface::RegisterSignatures();
   B::Kms::ProvidersSvc::Interface::RegisterSignatures();
   B::Kms::Providers::StatusSvc::Interface::RegisterSignatures();
   B::Attestation::ReportSvc::Interface::RegisterSignatures();
   return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   static const bool registered = RegisterAll();
   (void)registered;
   using namespace Ruvo::Protocol::Json;
   std::string_view body(reinterpret_cast<const char *>(data), size);
   JsonApiRequest request;
   Ruvo::Data::ErrorValuePtr error;
   std::string out;
   if (!Secure::JsonApiRequestDeserializer().Deserialize(body, request, error)) {
      Secure::JsonApiDirectResponseSerializer().SerializeError(request.requestId, error, out);
      (void)error->ToString();
      return 0;
   }
   (void)request.input->ToString();
   Secure::JsonApiRequestSerializer().Serialize(request.method, request.input, *request.context, out, error);
   return 0;
}
