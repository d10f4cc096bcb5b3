#include "apps/zarna/ruvo/provider/provider.h"

#include <vector>

#include "apps/trusted-host-services/common/tirelruvo/opIdProvider.h"
#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/ruvo/provider/local_caller_log.h"
#include "apps/zarna/ruvo/services/agent_status_impl.h"
#include "apps/zarna/ruvo/services/attestation_services_impl.h"
#include "apps/zarna/ruvo/services/key_operation_impl.h"
#include "apps/zarna/ruvo/services/kms_services_impl.h"
#include "runtime/authn/entitlement_checker.h"
#include "runtime/ruvo/filters/authz_filter.h"
#include "runtime/ruvo/metadata/metadata_services.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/tirel/app.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

namespace {

Ruvo::Core::AsyncApiProviderPtr WrapInOpIdProvider(Ruvo::Core::AsyncApiProviderPtr inner)
{
   return std::make_shared<Ths::Common::TirelRuvo::OpIdProvider>(
       std::move(inner), Tirel::Service::Logger::sDefaultLogger);
}

// Key operations and the provider listing wait on key provider services over the
// network: a TLS round trip, a connect timeout when one is unreachable. They run
// on the thread pool, so that meanwhile the I/O workers go on serving the rest of
// the API. Without a pool (no running agent) they run right here.
void OnThreadPool(std::function<void()> work)
{
   std::shared_ptr<Tirel::Service::App> app = Tirel::Service::GetApp();
   std::shared_ptr<Tirel::System::ThreadPool> pool = app ? app->GetThreadPool() : nullptr;
   if (!pool) {
      work();
      return;
   }
   pool->Enqueue(std::move(work));
}

} // namespace

Ruvo::L10n::LocalizerPtr CreateLocalizer()
{
   return std::make_shared<Ruvo::L10n::Localizer>(
       std::vector<std::string>{"en_US"},
       [](const std::string &id, std::string_view language, std::error_code &ec) {
          return LookupDefaultMessage(id, language, ec);
       });
}

std::vector<Ruvo::Core::ApiInterfacePtr>
CreateTcpBindings(const Ruvo::L10n::LocalizerPtr &localizer)
{
   namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
   auto attestd = std::make_shared<Ti::Attestation::ServicesSvc::ServicesImpl>();
   auto zarnd = std::make_shared<Ti::Kms::ServicesSvc::ServicesImpl>();
   std::vector<Ruvo::Core::ApiInterfacePtr> bindings{
       Ti::Attestation::ServicesSvc::AsyncServiceBinder::BindImplementation(attestd, localizer),
       Ti::Kms::ServicesSvc::AsyncServiceBinder::BindImplementation(zarnd, localizer),
       Ti::Kms::ProvidersSvc::AsyncServiceBinder::BindImplementation(
           std::make_shared<Ti::Kms::ProvidersSvc::ProvidersImpl>(ZarnClientOptionsFactory{}, OnThreadPool), localizer),
   };
   // The status report names the identity the framework was started with.
   std::string version;
   int64_t build = 0;
   if (std::shared_ptr<Tirel::Service::App> app = Tirel::Service::GetApp()) {
      version = app->GetAppInfo().version;
      build = app->GetAppInfo().build;
   }
   bindings.push_back(Ti::Agent::StatusSvc::AsyncServiceBinder::BindImplementation(
       std::make_shared<Ti::Agent::StatusSvc::StatusImpl>(Ti::Agent::StatusSvc::DefaultStatusSources(version, build)),
       localizer));
   namespace Md = Ruvo::Provider::Metadata;
   for (auto &&group :
        {Md::BindCliMetadataServices(Md::Cli::MetadataContainer::GetInstance()),
         Md::BindMetamodelMetadataServices(Md::Metamodel::MetadataContainer::GetInstance()),
         Md::BindAuthenticationMetadataServices(
             Md::Authentication::MetadataContainer::GetInstance())}) {
      bindings.insert(bindings.end(), group.begin(), group.end());
   }
   return bindings;
}

Ruvo::Core::AsyncApiProviderPtr CreateTcpProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                                                       const Ruvo::L10n::LocalizerPtr &localizer,
                                                       const Ruvo::Log::LoggerPtr &logger,
                                                       const ApiSecurity &security)
{
   std::shared_ptr<Ruvo::Authz::AuthzInfo> authz = LoadApiMetadata(security.metadataFile, logger);
   std::vector<Ruvo::Core::ApiInterfacePtr> bindings = CreateTcpBindings(localizer);
   VerifyAuthorizedOperationsAreServed(bindings, *authz, security.metadataFile);
   auto local = Ruvo::Provider::AsyncLocalProvider::Create(bindings, enqueuer, logger);
   auto checker = std::make_shared<BrimToken::Authz::JwtEntitlementCheckerImpl>(logger);
   Ruvo::Core::AsyncApiProviderPtr chain = std::make_shared<Ruvo::Authz::Filter::AsyncAuthzFilter>(
       enqueuer, authz, checker, logger, local);
   for (const Ruvo::Authn::TokenHandlerPtr &handler : {security.tokenHandler}) {
      chain = std::make_shared<Ruvo::Authn::Filter::AsyncAuthnFilter>(chain, handler, logger);
   }
   return WrapInOpIdProvider(chain);
}

Ruvo::Core::AsyncApiProviderPtr
CreateLocalSocketProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                               const Ruvo::L10n::LocalizerPtr &localizer,
                               const Ruvo::Log::LoggerPtr &logger)
{
   namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
   auto local = Ruvo::Provider::AsyncLocalProvider::Create(
       {KeyOp::AsyncServiceBinder::BindImplementation(std::make_shared<KeyOp::KeyOperationImpl>(ZarnClientOptionsFactory{}, OnThreadPool),
                                                      localizer)},
       enqueuer, logger);
   return WrapInOpIdProvider(std::make_shared<LocalCallerLogProvider>(local));
}

} // namespace Zarna
