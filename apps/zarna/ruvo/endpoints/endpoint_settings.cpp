#include "apps/zarna/ruvo/endpoints/endpoint_settings.h"

#include <cinttypes>
#include <cstdint>
#include <string>

#include "runtime/hostlib/log.h"
#include "runtime/tirel/app.h"

namespace Zarna {
namespace {

// Reads one positive integer setting within [low, high] into value.
template <typename T>
void ReadSetting(const Tirel::Service::Settings &settings, const std::string &key, int64_t low, int64_t high,
                 T &value)
{
   int64_t read = 0;
   if (!settings.GetInt(key, read)) {
      return;
   }
   if (read < low || read > high) {
      Log_Level(115, "Ignoring %s = %" PRId64 " (allowed %" PRId64 " to %" PRId64 ")\n", key.c_str(), read, low,
                high);
      return;
   }
   value = static_cast<T>(read);
}

} // namespace

EndpointLimits ConfiguredEndpointLimits()
{
   EndpointLimits limits;
   auto app = Tirel::Service::GetApp();
   if (!app) {
      return limits;
   }
   const auto &settings = app->GetSettings();
   int64_t idleSec = 60;
   ReadSetting(settings, "api/idleTimeoutSec", 1, 1200, idleSec);
   limits.idleLimit = std::chrono::seconds(idleSec);
   ReadSetting(settings, "api/maxConnections", 1, 1000000, limits.maxConnections);
   // At least one whole request of the largest size must fit.
   ReadSetting(settings, "api/maxBufferedBytes", static_cast<int64_t>(limits.maxRequestBytes),
               int64_t{1} << 40, limits.maxBufferedBytes);
   return limits;
}

} // namespace Zarna
