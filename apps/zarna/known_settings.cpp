#include "apps/zarna/known_settings.h"

#include <set>

#include "runtime/hostlib/log.h"

namespace Zarna {

namespace {

// docs/configuration.md describes each; keep the three in step.
const std::set<std::string> &KnownKeys()
{
   static const std::set<std::string> keys = {
       "log/level",
       "log/file",
       "tirel/threadPool/ioThreads",
       "tirel/threadPool/maxThreads",
       "attestationDelaySec",
       "configstore/path",
       "tpm/tcti",
       "hyperkern/channel",
       "keycache/backend",
       "keycache/keyring",
       "firewall/backend",
       "api/metadataFile",
       "api/tokenKey",
       "api/localSocketGroup",
       "api/tcpPort",
       "api/maxConnections",
       "api/maxBufferedBytes",
       "api/idleTimeoutSec",
   };
   return keys;
}

// Every feature switch lives under this prefix; the host decides which exist.
constexpr const char *kFeaturePrefix = "features/";

} // namespace

std::vector<std::string> UnknownSettings(const std::map<std::string, std::string> &values)
{
   std::vector<std::string> unknown;
   for (const auto &[key, value] : values) {
      (void)value;
      if (key.rfind(kFeaturePrefix, 0) == 0 || KnownKeys().count(key) != 0) {
         continue;
      }
      unknown.push_back(key);
   }
   return unknown;
}

void LogUnknownSettings(const Tirel::Service::Settings &settings)
{
   for (const std::string &key : UnknownSettings(settings.Snapshot())) {
      // The key comes from the operator's file: the logger escapes and cuts it.
      Log_Level(115, "Unknown configuration setting %s (ignored)\n", key.c_str());
   }
}

} // namespace Zarna
