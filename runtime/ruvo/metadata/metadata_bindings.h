// The metadata services: one interface per collection of a metadata container,
// each with "list" (the ids) and "get" (one entry by id).
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/binding/stub.h"
#include "runtime/ruvo/core/async_result.h"

namespace Ruvo::Provider::Metadata {

template <Binding::FixedName Id> struct CollectionSvc {
   using IdList = std::vector<std::string>;
   using ListMethod = Binding::Operation<"list", IdList>;
   using GetMethod =
       Binding::Operation<"get", Data::DataValuePtr, Binding::Param<std::string, "id">>;
   using Interface = Binding::InterfaceDecl<Id, ListMethod, GetMethod>;

   class AsyncServiceInterface {
   public:
      virtual void List(AsyncResult<IdList> result) = 0;
      virtual void Get(const std::string &id, AsyncResult<Data::DataValuePtr> result) = 0;
      virtual ~AsyncServiceInterface() = default;
   };

   using AsyncServiceBinder =
       Binding::ServiceBinder<Interface, AsyncServiceInterface, &AsyncServiceInterface::List,
                              &AsyncServiceInterface::Get>;

   class AsyncServiceStub : public Binding::ServiceStub<Interface> {
   public:
      using Binding::ServiceStub<Interface>::ServiceStub;
      void List(const Core::AsyncActivationPtr &activation, AsyncResult<IdList> result) const
      {
         this->template Call<ListMethod>(activation, std::move(result));
      }
      void Get(const std::string &id, const Core::AsyncActivationPtr &activation,
               AsyncResult<Data::DataValuePtr> result) const
      {
         this->template Call<GetMethod>(activation, std::move(result), id);
      }
   };
};

namespace Cli {
using CommandSvc = CollectionSvc<"com.talvor.ruvo.metadata.cli.command">;
using Namespace_Svc = CollectionSvc<"com.talvor.ruvo.metadata.cli.namespace">;
using SourceSvc = CollectionSvc<"com.talvor.ruvo.metadata.cli.source">;
} // namespace Cli

namespace Metamodel {
using PackageSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.package">;
using ServiceSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.service">;
using ResourceSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.resource">;
using ComponentSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.component">;
using StructureSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.structure">;
using EnumerationSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.enumeration">;
using ServiceOperationSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.service.operation">;
using ServiceHiddenSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.service.hidden">;
using ResourceModelSvc = CollectionSvc<"com.talvor.ruvo.metadata.metamodel.resource.model">;
} // namespace Metamodel

namespace Authentication {
using PackageSvc = CollectionSvc<"com.talvor.ruvo.metadata.authentication.package">;
using ServiceSvc = CollectionSvc<"com.talvor.ruvo.metadata.authentication.service">;
using ComponentSvc = CollectionSvc<"com.talvor.ruvo.metadata.authentication.component">;
using ServiceOperationSvc =
    CollectionSvc<"com.talvor.ruvo.metadata.authentication.service.operation">;
} // namespace Authentication

// Every metadata interface, for code that must treat them all alike.
using AllMetadataServices =
    std::tuple<Cli::CommandSvc, Cli::Namespace_Svc, Cli::SourceSvc, Metamodel::PackageSvc,
               Metamodel::ServiceSvc, Metamodel::ResourceSvc, Metamodel::ComponentSvc,
               Metamodel::StructureSvc, Metamodel::EnumerationSvc, Metamodel::ServiceOperationSvc,
               Metamodel::ServiceHiddenSvc, Metamodel::ResourceModelSvc, Authentication::PackageSvc,
               Authentication::ServiceSvc, Authentication::ComponentSvc,
               Authentication::ServiceOperationSvc>;

} // namespace Ruvo::Provider::Metadata
