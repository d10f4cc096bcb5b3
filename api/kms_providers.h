// What key provider services report about their providers:
// com.talvor.brim.kms.providers (list) and com.talvor.brim.kms.providers.status (get).
#pragma once

#include "api/binding_support.h"

namespace Com::Talvor::Brim::Kms {

namespace ProvidersSvc {

inline constexpr const char *kInterfaceId = "com.talvor.brim.kms.providers";

struct Summary {
   std::string provider;

   static constexpr const char *kStructName = "com.talvor.brim.kms.providers.summary";
   static constexpr auto Fields() { return std::make_tuple(Api::Field("provider", &Summary::provider)); }
};

using SummaryList = std::vector<std::shared_ptr<const Summary>>;
using ListMethod = Api::Operation<"list", SummaryList>;
using Interface = Api::InterfaceDecl<"com.talvor.brim.kms.providers", ListMethod>;

class AsyncServiceInterface {
public:
   virtual void List(Api::AsyncResult<SummaryList> result) = 0;
   virtual ~AsyncServiceInterface() = default;
};

using AsyncServiceBinder = ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface,
                                        &AsyncServiceInterface::List>;

class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
public:
   using ServiceStub::ServiceStub;
   void List(const Api::ActivationPtr &activation, Api::AsyncResult<SummaryList> result) const
   {
      Call<ListMethod>(activation, std::move(result));
   }
};

} // namespace ProvidersSvc

namespace Providers::StatusSvc {

inline constexpr const char *kInterfaceId = "com.talvor.brim.kms.providers.status";

// HEALTHY and DEGRADED providers serve requests.
enum class Status : int32_t { UNKNOWN, HEALTHY, DEGRADED, UNHEALTHY };
constexpr std::array<const char *, 4> RuvoEnumNames(Status)
{
   return {"UNKNOWN", "HEALTHY", "DEGRADED", "UNHEALTHY"};
}

struct Info {
   Status status = Status::UNKNOWN;
   std::vector<std::shared_ptr<const Api::LocalizableMessage>> details;

   static constexpr const char *kStructName = "com.talvor.brim.kms.providers.status.info";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("status", &Info::status), Api::Field("details", &Info::details));
   }
};

using GetMethod = Api::Operation<"get", Info, Api::Param<std::string, "provider">>;
using Interface = Api::InterfaceDecl<"com.talvor.brim.kms.providers.status", GetMethod>;

class AsyncServiceInterface {
public:
   virtual void Get(const std::string &provider, Api::AsyncResult<Info> result) = 0;
   virtual ~AsyncServiceInterface() = default;
};

using AsyncServiceBinder = ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface,
                                        &AsyncServiceInterface::Get>;

class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
public:
   using ServiceStub::ServiceStub;
   void Get(const std::string &provider, const Api::ActivationPtr &activation, Api::AsyncResult<Info> result) const
   {
      Call<GetMethod>(activation, std::move(result), provider);
   }
};

} // namespace Providers::StatusSvc

} // namespace Com::Talvor::Brim::Kms
