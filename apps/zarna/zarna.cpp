// Process entry of the agent: brings the agent up in a fixed order, waits in
// the framework's run call, and takes it down again.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "apps/zarna/include/logger.h"
#include "apps/zarna/startup.h"
#include "runtime/hostlib/feature_state.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/ssl_init.h"
#include "runtime/tirel/app.h"
#include "runtime/tirel/config.h"

namespace {

constexpr const char *kConfigPath = "/etc/talvor/cpservices/zarna/config.xml";

// Steps 3 to 5: configuration defaults, identity and the framework start.
// Failures leave as standard exceptions.
void StartFramework()
{
   std::shared_ptr<Tirel::Service::Config> config = Tirel::Service::CreateScratchConfig();
   Tirel::Service::Settings &settings = config->GetSettings();
   settings.SetString("log/level", "info");
   settings.SetInt("tirel/threadPool/ioThreads", 1);
   settings.SetInt("tirel/threadPool/maxThreads", 10);

   Tirel::Service::AppInfo info;
   info.name = "zarna";
   info.version = "7.0.0";
   info.build = ZARNA_BUILD_NUMBER;
   info.revision = 0;
   Tirel::Service::SetAppInfo(info);

   Tirel::Service::InitApp(config, kConfigPath);
}

} // namespace

int main()
{
   // 1. The agent's feature switch must be on; nothing else has been touched yet.
   FeatureState_Init();
   // An unreadable switch is not taken as "off by accident": the agent stops
   // with an error instead of the panic of a deliberately disabled switch.
   if (const char *invalid = FeatureState_InvalidSwitch()) {
      fprintf(stderr, "The feature switch features/%s has an invalid value. Exiting.\n", invalid);
      return 1;
   }
   if (*FeatureList[kFeatureZarna].enabled == 0) {
      Panic("VERIFY %s:%d\n", "apps/zarna/zarna", 141);
   }

   // 2. Host TLS library.
   SSL_Init(nullptr, nullptr, nullptr);

   // 3.-6. Framework.
   try {
      StartFramework();
   } catch (const std::exception &e) {
      fprintf(stderr, "Initializing tirel failed: %s\n", e.what());
      return 1;
   }

   // 7. onwards: the agent itself.
   Zarna::RunAgent(std::make_shared<Zarna::RuvoLoggerWrapper>());
}
