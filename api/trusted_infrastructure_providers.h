// com.talvor.brim.trusted_infrastructure.kms.providers: the agent's listing of the
// key providers of its key provider services, with their availability.
#pragma once

#include "api/binding_support.h"

namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc {

inline constexpr const char *kInterfaceId = "com.talvor.brim.trusted_infrastructure.kms.providers";

struct Summary {
   std::string provider;
   bool available = false;
   std::vector<std::shared_ptr<const Api::LocalizableMessage>> details;

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.kms.providers.summary";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("provider", &Summary::provider),
                             Api::Field("available", &Summary::available),
                             Api::Field("details", &Summary::details));
   }
};

struct FilterSpec {
   std::optional<std::set<std::string>> providers;
   std::optional<bool> available;

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.kms.providers.filter_spec";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("providers", &FilterSpec::providers),
                             Api::Field("available", &FilterSpec::available));
   }
};

using SummaryList = std::vector<std::shared_ptr<const Summary>>;
using ListMethod = Api::Operation<"list", SummaryList, Api::Param<std::optional<FilterSpec>, "filter">>;
using Interface = Api::InterfaceDecl<"com.talvor.brim.trusted_infrastructure.kms.providers", ListMethod>;

class AsyncServiceInterface {
public:
   virtual void List(const std::optional<FilterSpec> &filter, Api::AsyncResult<SummaryList> result) = 0;
   virtual ~AsyncServiceInterface() = default;
};

using AsyncServiceBinder = ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface,
                                        &AsyncServiceInterface::List>;

class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
public:
   using ServiceStub::ServiceStub;
   void List(const std::optional<FilterSpec> &filter, const Api::ActivationPtr &activation,
             Api::AsyncResult<SummaryList> result) const
   {
      Call<ListMethod>(activation, std::move(result), filter);
   }
};

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc
