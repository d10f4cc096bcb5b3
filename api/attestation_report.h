// com.talvor.brim.attestation.report: the multi-round attestation exchange. The
// operation carries dynamic structures; Tpm2Request and Tpm2Result are their
// native forms (ToStructValue / FromDataValue convert).
#pragma once

#include "api/binding_support.h"

namespace Com::Talvor::Brim::Attestation::ReportSvc {

inline constexpr const char *kInterfaceId = "com.talvor.brim.attestation.report";

enum class DocumentType { TOKEN };
constexpr std::array<const char *, 1> RuvoEnumNames(DocumentType)
{
   return {"TOKEN"};
}

using Extension = std::optional<::Ruvo::Data::StructValuePtr>;

// Exactly one of the two texts is set: the certificate when there is one.
struct Tpm2Identity {
   Extension extension;
   std::optional<std::string> ek_certificate; // PEM
   std::optional<std::string> ek_public_key;  // PEM

   static constexpr const char *kStructName = "com.talvor.brim.attestation.report.tpm2_identity";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("extension", &Tpm2Identity::extension),
                             Api::Field("ek_certificate", &Tpm2Identity::ek_certificate),
                             Api::Field("ek_public_key", &Tpm2Identity::ek_public_key));
   }
};

struct Tpm2Request {
   Extension extension;
   std::shared_ptr<const Tpm2Identity> identity;
   std::vector<::Ruvo::Data::Binary> contexts; // opaque protocol messages; empty in the first request
   std::vector<DocumentType> document_types;

   static constexpr const char *kStructName = "com.talvor.brim.attestation.report.tpm2_request";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("extension", &Tpm2Request::extension),
                             Api::Field("identity", &Tpm2Request::identity),
                             Api::Field("contexts", &Tpm2Request::contexts),
                             Api::Field("document_types", &Tpm2Request::document_types));
   }
};

struct Document {
   DocumentType type = DocumentType::TOKEN;
   std::optional<std::string> content; // the token for TOKEN documents

   static constexpr const char *kStructName = "com.talvor.brim.attestation.report.document";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("type", &Document::type), Api::Field("content", &Document::content));
   }
};

struct Tpm2Result {
   Extension extension;
   std::vector<::Ruvo::Data::Binary> contexts;
   bool finished = false;
   std::vector<std::shared_ptr<const Document>> documents;

   static constexpr const char *kStructName = "com.talvor.brim.attestation.report.tpm2_result";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("extension", &Tpm2Result::extension),
                             Api::Field("contexts", &Tpm2Result::contexts),
                             Api::Field("finished", &Tpm2Result::finished),
                             Api::Field("documents", &Tpm2Result::documents));
   }
};

using AttestMethod =
   Api::Operation<"attest", ::Ruvo::Data::StructValuePtr, Api::Param<::Ruvo::Data::StructValuePtr, "request">>;
using Interface = Api::InterfaceDecl<"com.talvor.brim.attestation.report", AttestMethod>;

class AsyncServiceInterface {
public:
   virtual void Attest(const ::Ruvo::Data::StructValuePtr &request,
                       Api::AsyncResult<::Ruvo::Data::StructValuePtr> result) = 0;
   virtual ~AsyncServiceInterface() = default;
};

using AsyncServiceBinder = ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface,
                                        &AsyncServiceInterface::Attest>;

class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
public:
   using ServiceStub::ServiceStub;
   void Attest(const ::Ruvo::Data::StructValuePtr &request, const Api::ActivationPtr &activation,
               Api::AsyncResult<::Ruvo::Data::StructValuePtr> result) const
   {
      Call<AttestMethod>(activation, std::move(result), request);
   }
};

} // namespace Com::Talvor::Brim::Attestation::ReportSvc

namespace Com::Talvor::Brim::Attestation {
namespace Report = ReportSvc;
}
