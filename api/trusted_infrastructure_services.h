// The two service-configuration interfaces of the agent (attestation services and
// key provider services) share their structures and operations; only their
// identifiers differ.
#pragma once

#include "api/binding_support.h"

namespace Com::Talvor::Brim::TrustedInfrastructure {

struct NetworkAddress {
   std::string hostname;
   std::optional<int64_t> port; // absent means 443

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.network_address";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("hostname", &NetworkAddress::hostname),
                             Api::Field("port", &NetworkAddress::port));
   }
};

struct X509CertChain {
   std::vector<std::string> cert_chain; // PEM texts, root first

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.x509_cert_chain";
   static constexpr auto Fields() { return std::make_tuple(Api::Field("cert_chain", &X509CertChain::cert_chain)); }
};

namespace ServicesApi {

struct CreateSpec {
   std::shared_ptr<const NetworkAddress> address;
   std::shared_ptr<const X509CertChain> trusted_CA;
   std::string group;

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.services.create_spec";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("address", &CreateSpec::address),
                             Api::Field("trusted_CA", &CreateSpec::trusted_CA),
                             Api::Field("group", &CreateSpec::group));
   }
};

struct Summary {
   std::string service; // the service identifier
   std::shared_ptr<const NetworkAddress> address;
   std::string group;

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.services.summary";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("service", &Summary::service), Api::Field("address", &Summary::address),
                             Api::Field("group", &Summary::group));
   }
};

struct Info {
   std::shared_ptr<const NetworkAddress> address;
   std::shared_ptr<const X509CertChain> trusted_CA;
   std::string group;

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.services.info";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("address", &Info::address), Api::Field("trusted_CA", &Info::trusted_CA),
                             Api::Field("group", &Info::group));
   }
};

// Each criterion is optional; an absent one accepts everything, a present empty one nothing.
struct FilterSpec {
   std::optional<std::set<std::string>> services;
   std::optional<std::vector<NetworkAddress>> addresses;
   std::optional<std::set<std::string>> groups;

   static constexpr const char *kStructName = "com.talvor.brim.trusted_infrastructure.services.filter_spec";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("services", &FilterSpec::services),
                             Api::Field("addresses", &FilterSpec::addresses),
                             Api::Field("groups", &FilterSpec::groups));
   }
};

using SummaryList = std::vector<std::shared_ptr<const Summary>>;

using ListMethod = Api::Operation<"list", SummaryList, Api::Param<std::optional<FilterSpec>, "filter">>;
using GetMethod = Api::Operation<"get", Info, Api::Param<std::string, "service">>;
using CreateMethod = Api::Operation<"create", std::string, Api::Param<CreateSpec, "spec">>;
using DeleteMethod = Api::Operation<"delete", ::Ruvo::Void, Api::Param<std::string, "service">>;

template <::Ruvo::Binding::FixedName Id>
struct Service {
   using Interface = Api::InterfaceDecl<Id, ListMethod, GetMethod, CreateMethod, DeleteMethod>;

   class AsyncServiceInterface {
   public:
      virtual void List(const std::optional<FilterSpec> &filter, Api::AsyncResult<SummaryList> result) = 0;
      virtual void Get(const std::string &service, Api::AsyncResult<Info> result) = 0;
      virtual void Create(const CreateSpec &spec, Api::AsyncResult<std::string> result) = 0;
      virtual void Delete(const std::string &service, Api::AsyncResult<::Ruvo::Void> result) = 0;
      virtual ~AsyncServiceInterface() = default;
   };

   using AsyncServiceBinder = ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface,
                                           &AsyncServiceInterface::List,
                                           &AsyncServiceInterface::Get,
                                           &AsyncServiceInterface::Create,
                                           &AsyncServiceInterface::Delete>;

   class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
   public:
      using ::Ruvo::Binding::ServiceStub<Interface>::ServiceStub;
      void List(const std::optional<FilterSpec> &filter, const Api::ActivationPtr &activation,
                Api::AsyncResult<SummaryList> result) const
      {
         this->template Call<ListMethod>(activation, std::move(result), filter);
      }
      void Get(const std::string &service, const Api::ActivationPtr &activation, Api::AsyncResult<Info> result) const
      {
         this->template Call<GetMethod>(activation, std::move(result), service);
      }
      void Create(const CreateSpec &spec, const Api::ActivationPtr &activation,
                  Api::AsyncResult<std::string> result) const
      {
         this->template Call<CreateMethod>(activation, std::move(result), spec);
      }
      void Delete(const std::string &service, const Api::ActivationPtr &activation,
                  Api::AsyncResult<::Ruvo::Void> result) const
      {
         this->template Call<DeleteMethod>(activation, std::move(result), service);
      }
   };
};

} // namespace ServicesApi

// Names each kind's types in its own namespace.
#define ZARNA_SERVICES_NAMESPACE(Kind, Id)                                                                 \
   namespace Kind::ServicesSvc {                                                                           \
   using ServicesApi::CreateSpec;                                                                          \
   using ServicesApi::FilterSpec;                                                                          \
   using ServicesApi::Info;                                                                                \
   using ServicesApi::Summary;                                                                             \
   using ServicesApi::SummaryList;                                                                         \
   using ServicesApi::ListMethod;                                                                          \
   using ServicesApi::GetMethod;                                                                           \
   using ServicesApi::CreateMethod;                                                                        \
   using ServicesApi::DeleteMethod;                                                                        \
   using Interface = ServicesApi::Service<Id>::Interface;                                                  \
   using AsyncServiceInterface = ServicesApi::Service<Id>::AsyncServiceInterface;                          \
   using AsyncServiceBinder = ServicesApi::Service<Id>::AsyncServiceBinder;                                \
   using AsyncServiceStub = ServicesApi::Service<Id>::AsyncServiceStub;                                    \
   inline constexpr const char *kInterfaceId = Id;                                                         \
   }

ZARNA_SERVICES_NAMESPACE(Attestation, "com.talvor.brim.trusted_infrastructure.attestation.services")
ZARNA_SERVICES_NAMESPACE(Kms, "com.talvor.brim.trusted_infrastructure.kms.services")

#undef ZARNA_SERVICES_NAMESPACE

} // namespace Com::Talvor::Brim::TrustedInfrastructure
