#include "apps/zarna/ruvo/provider/provider.h"

#include <vector>

#include "apps/trusted-host-services/common/tirelruvo/opIdProvider.h"
#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/ruvo/services/attestation_services_impl.h"
#include "apps/zarna/ruvo/services/kms_services_impl.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

namespace {

Ruvo::Core::AsyncApiProviderPtr WrapInOpIdProvider(Ruvo::Core::AsyncApiProviderPtr inner)
{
   return std::make_shared<Ths::Common::TirelRuvo::OpIdProvider>(std::move(inner),
                                                                 Tirel::Service::Logger::sDefaultLogger);
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

Ruvo::Core::AsyncApiProviderPtr CreateTcpProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                                                       const Ruvo::L10n::LocalizerPtr &localizer,
                                                       const Ruvo::Log::LoggerPtr &logger)
{
   namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
   auto attestd = std::make_shared<Ti::Attestation::ServicesSvc::ServicesImpl>();
   auto zarnd = std::make_shared<Ti::Kms::ServicesSvc::ServicesImpl>();
   std::vector<Ruvo::Core::ApiInterfacePtr> bindings{
      Ti::Attestation::ServicesSvc::AsyncServiceBinder::BindImplementation(attestd, localizer),
      Ti::Kms::ServicesSvc::AsyncServiceBinder::BindImplementation(zarnd, localizer),
   };
   auto local = Ruvo::Provider::AsyncLocalProvider::Create(bindings, enqueuer, logger);
   return WrapInOpIdProvider(local);
}

Ruvo::Core::AsyncApiProviderPtr CreateLocalSocketProviderChain(const Ruvo::Provider::Enqueuer &enqueuer,
                                                               const Ruvo::L10n::LocalizerPtr &localizer,
                                                               const Ruvo::Log::LoggerPtr &logger)
{
   (void)localizer; // the key operation binding takes it once it is served here
   auto local = Ruvo::Provider::AsyncLocalProvider::Create({}, enqueuer, logger);
   return WrapInOpIdProvider(local);
}

} // namespace Zarna
