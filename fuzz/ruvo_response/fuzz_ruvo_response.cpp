// A client reads a response body from a peer: the first byte picks the operation
// whose result type it expects, the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/attestation_report.h"
#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "api/trusted_infrastructure_services.h"
#include "runtime/ruvo/json/json_rpc.h"

namespace {

namespace B = Com::Talvor::Brim;

const std::vector<Ruvo::Core::MethodIdentifier> &Methods()
{
   static const std::vector<Ruvo::Core::MethodIdentifier> methods = [] {
      B::Kms::KeyOperationSvc::Interface::RegisterSignatures();
      B::Kms::ProvidersSvc::Interface::RegisterSignatures();
      B::Kms::Providers::StatusSvc::Interface::RegisterSignatures();
      B::Attestation::ReportSvc::Interface::RegisterSignatures();
      B::TrustedInfrastructure::Attestation::ServicesSvc::Interface::RegisterSignatures();
      return std::vector<Ruvo::Core::MethodIdentifier>{
         {B::Kms::KeyOperationSvc::kInterfaceId, "generate_key"},
         {B::Kms::KeyOperationSvc::kInterfaceId, "encrypt"},
         {B::Kms::KeyOperationSvc::kInterfaceId, "decrypt"},
         {B::Kms::ProvidersSvc::kInterfaceId, "list"},
         {B::Kms::Providers::StatusSvc::kInterfaceId, "get"},
         {B::Attestation::ReportSvc::kInterfaceId, "attest"},
         {B::TrustedInfrastructure::Attestation::ServicesSvc::kInterfaceId, "list"},
         {"unknown.interface", "op"},
      };
   }();
   return methods;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0) {
      return 0;
   }
   using namespace Ruvo::Protocol::Json;
   const auto &method = Methods()[data[0] % Methods().size()];
   std::string_view body(reinterpret_cast<const char *>(data + 1), size - 1);
   JsonApiResponse response;
   Ruvo::Data::ErrorValuePtr error;
   if (!Secure::JsonApiResponseDeserializer().Deserialize(body, method, response, error)) {
      (void)error->ToString();
      return 0;
   }
   std::string out;
   Secure::JsonApiResponseSerializer().Serialize(response.requestId, *response.result, out);
   (void)response.result->ToString();
   if (response.result->IsError()) {
      (void)response.result->GetError()->messages();
   }
   return 0;
}
