#include "apps/zarna/startup.h"

#include <exception>
#include <mutex>

#include "runtime/hostlib/log.h"
#include "runtime/tirel/app.h"

namespace Zarna {

namespace {

std::once_flag gLoggerOnce;
std::shared_ptr<Ruvo::Log::Logger> gRuvoLogger; // written once under gLoggerOnce

// What exists of the agent while it serves; released in the order of the
// orderly stop.
struct Agent {
};

[[noreturn]] void OrderlyStop(Agent &agent, int exitCode)
{
   (void)agent;
   Tirel::System::QuickExit(exitCode);
}

} // namespace

std::shared_ptr<Ruvo::Log::Logger> GetRuvoLogger()
{
   return gRuvoLogger;
}

void RunAgent(std::shared_ptr<Ruvo::Log::Logger> logger)
{
   // 7. The runtime logger, installed once and never replaced.
   std::call_once(gLoggerOnce, [&] { gRuvoLogger = std::move(logger); });

   Agent agent;
   try {
      // 17. Serve until told to stop.
      Tirel::Service::GetApp()->Run();
   } catch (const std::exception &e) {
      Log_Level(110, "Exiting with error: %s\n", e.what());
      Tirel::System::QuickExit(1);
   }
   OrderlyStop(agent, 0);
}

} // namespace Zarna
