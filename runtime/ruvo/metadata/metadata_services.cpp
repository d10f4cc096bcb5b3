#include "runtime/ruvo/metadata/metadata_services.h"

#include "runtime/ruvo/metadata/metadata_bindings.h"

namespace Ruvo::Provider::Metadata {

namespace {

Data::NativeError NotFound(const std::string &collection, const std::string &id)
{
   return Data::NativeError(Data::StdErrors::Make(
       Data::StdErrors::kNotFound,
       {BaseMessage("ruvo.metadata.entry.not_found", "There is no {1} {2} in the metadata.",
                    {collection, id})},
       "NOT_FOUND"));
}

template <class Svc> class CollectionImpl : public Svc::AsyncServiceInterface {
public:
   CollectionImpl(std::shared_ptr<const MetadataContainerBase> container, std::string collection)
       : mContainer(std::move(container)), mCollection(std::move(collection))
   {
   }
   void List(AsyncResult<std::vector<std::string>> result) override
   {
      result.SetResult(mContainer->List(mCollection));
   }
   void Get(const std::string &id, AsyncResult<Data::DataValuePtr> result) override
   {
      Data::DataValuePtr entry = mContainer->Get(mCollection, id);
      if (!entry) {
         result.SetError(NotFound(mCollection, id));
         return;
      }
      result.SetResult(std::move(entry));
   }

private:
   std::shared_ptr<const MetadataContainerBase> mContainer;
   std::string mCollection;
};

// The sources a container was filled from.
class SourceImpl : public Cli::SourceSvc::AsyncServiceInterface {
public:
   explicit SourceImpl(std::shared_ptr<const MetadataContainerBase> container)
       : mContainer(std::move(container))
   {
   }
   void List(AsyncResult<std::vector<std::string>> result) override
   {
      std::vector<std::string> names;
      for (const auto &s : mContainer->Sources()) {
         names.push_back(s.name);
      }
      result.SetResult(std::move(names));
   }
   void Get(const std::string &id, AsyncResult<Data::DataValuePtr> result) override
   {
      for (const auto &s : mContainer->Sources()) {
         if (s.name == id) {
            auto info = std::make_shared<Data::StructValue>("com.talvor.ruvo.metadata.source.info");
            info->SetField("name", Data::MakeString(s.name));
            info->SetField("type", Data::MakeString("FILE"));
            info->SetField("filepath", Data::MakeString(s.filePath));
            result.SetResult(info);
            return;
         }
      }
      result.SetError(NotFound("source", id));
   }

private:
   std::shared_ptr<const MetadataContainerBase> mContainer;
};

template <class Svc>
Core::ApiInterfacePtr Bind(std::shared_ptr<const MetadataContainerBase> container,
                           const char *collection)
{
   return Svc::AsyncServiceBinder::BindImplementation(
       std::make_shared<CollectionImpl<Svc>>(std::move(container), collection));
}

} // namespace

std::vector<Core::ApiInterfacePtr>
BindCliMetadataServices(std::shared_ptr<const Cli::MetadataContainer> container)
{
   return {Bind<Cli::CommandSvc>(container, "command"),
           Bind<Cli::Namespace_Svc>(container, "namespace"),
           Cli::SourceSvc::AsyncServiceBinder::BindImplementation(
               std::make_shared<SourceImpl>(container))};
}

std::vector<Core::ApiInterfacePtr>
BindMetamodelMetadataServices(std::shared_ptr<const Metamodel::MetadataContainer> container)
{
   using namespace Metamodel;
   return {Bind<PackageSvc>(container, "package"),
           Bind<ServiceSvc>(container, "service"),
           Bind<ResourceSvc>(container, "resource"),
           Bind<ComponentSvc>(container, "component"),
           Bind<StructureSvc>(container, "structure"),
           Bind<EnumerationSvc>(container, "enumeration"),
           Bind<ServiceOperationSvc>(container, "operation"),
           Bind<ServiceHiddenSvc>(container, "hidden"),
           Bind<ResourceModelSvc>(container, "model")};
}

std::vector<Core::ApiInterfacePtr> BindAuthenticationMetadataServices(
    std::shared_ptr<const Authentication::MetadataContainer> container)
{
   using namespace Authentication;
   return {Bind<PackageSvc>(container, "package"), Bind<ServiceSvc>(container, "service"),
           Bind<ComponentSvc>(container, "component"),
           Bind<ServiceOperationSvc>(container, "operation")};
}

} // namespace Ruvo::Provider::Metadata
