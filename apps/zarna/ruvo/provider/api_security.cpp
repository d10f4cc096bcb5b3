#include "apps/zarna/ruvo/provider/api_security.h"

#include <fstream>
#include <vector>

#include "runtime/authn/token_handler.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/safe_text.h"
#include "runtime/ruvo/metadata/metadata_container.h"

namespace Zarna {

namespace {

constexpr const char *kProviderSource = "apps/zarna/ruvo/provider";

template <class Container>
void RegisterSource(const char *kind, const char *sourceName, const std::string &path,
                    int checkLine)
{
   std::shared_ptr<Container> container = Container::GetInstance();
   Log_Level(125, "Loading %s metadata file: %s\n", kind, path.c_str());
   Ruvo::Provider::Metadata::SourceInfo source{sourceName,
                                               Ruvo::Provider::Metadata::SourceType::File, path};
   Ruvo::Data::ErrorValuePtr error = container->AddSource(source);
   if (error) {
      Log_Level(110, "Error loading file: %s\n", error->ToString().c_str());
      Panic("VERIFY %s:%d\n", kProviderSource, checkLine);
   }
}

} // namespace

bool LoadApiSecurity(const Tirel::Service::Settings &settings, const Ruvo::Log::LoggerPtr &logger,
                     ApiSecurity &out, std::string &error)
{
   out.metadataFile = kDefaultMetadataFile;
   settings.GetString("api/metadataFile", out.metadataFile);
   std::string keyFile = kDefaultTokenKeyFile;
   settings.GetString("api/tokenKey", keyFile);
   std::string why;
   out.tokenHandler = Brim::Authn::TokenHandler::FromKeyFile(keyFile, logger, why);
   if (!out.tokenHandler) {
      error = "Cannot load the API token key (api/tokenKey): " + why;
      return false;
   }
   return true;
}

std::shared_ptr<Ruvo::Authz::AuthzInfo> LoadApiMetadata(const std::string &path,
                                                        const Ruvo::Log::LoggerPtr &logger)
{
   namespace Md = Ruvo::Provider::Metadata;
   RegisterSource<Md::Cli::MetadataContainer>("cli", "zarn_ruvo_agent_cli", path, 332);
   RegisterSource<Md::Metamodel::MetadataContainer>("metamodel", "zarn_ruvo_agent_metamodel", path,
                                                    338);
   RegisterSource<Md::Authentication::MetadataContainer>("authn", "zarn_ruvo_agent_authentication",
                                                         path, 344);

   auto info = std::make_shared<Ruvo::Authz::AuthzInfo>();
   Log_Level(125, "Loading authz metadata file: %s\n", path.c_str());
   std::ifstream in(path, std::ios::binary);
   std::vector<Ruvo::BaseMessage> messages; // the error line below is what matters
   if (!in || !Ruvo::Authz::Metadata::LoadAuthzInfoMetadata::Load(in, *info, logger, messages)) {
      Log_Level(110, "Error loading authz metadata file: %s\n", path.c_str());
      Panic("VERIFY %s:%d\n", kProviderSource, 349);
   }
   return info;
}

void VerifyAuthorizedOperationsAreServed(const std::vector<Ruvo::Core::ApiInterfacePtr> &bindings,
                                         const Ruvo::Authz::AuthzInfo &info,
                                         const std::string &path)
{
   for (const auto &[method, privileges] : info.Operations()) {
      Ruvo::Core::MethodIdentifier id;
      bool served = false;
      if (Ruvo::Core::MethodIdentifier::FromString(method, id)) {
         for (const auto &binding : bindings) {
            std::vector<Ruvo::BaseMessage> ignored;
            if (binding->GetIdentifier() == id.GetInterfaceId() &&
                binding->FindOperation(id.GetOperation(), ignored)) {
               served = true;
               break;
            }
         }
      }
      if (!served) {
         Log_Level(110, "Authorization metadata names %s, which is not served\n",
                   Hostlib::EscapeText(method, 256).c_str());
         Log_Level(110, "Error loading authz metadata file: %s\n", path.c_str());
         Panic("VERIFY %s:%d\n", kProviderSource, 349);
      }
   }
}

} // namespace Zarna
