#include "runtime/hostlib/feature_state.h"

#include <strings.h>

#include <map>

#include "runtime/hostlib/host_config.h"
#include "runtime/hostlib/log.h"

namespace {

uint8_t gFlags[kFeatureCount];
// The name of the last switch whose value could not be read; null when none.
const char *gInvalid = nullptr;

struct Assigned {
   size_t index;
   const char *name;
   uint8_t defaultEnabled;
};
constexpr Assigned kAssigned[] = {
    {kFeatureZarna, "zarna", 1},
};

constexpr std::array<FeatureEntry, kFeatureCount> BuildTable()
{
   std::array<FeatureEntry, kFeatureCount> table{};
   for (size_t i = 0; i < kFeatureCount; ++i) {
      table[i] = {nullptr, &gFlags[i]};
   }
   for (const Assigned &a : kAssigned) {
      table[a.index].name = a.name;
   }
   return table;
}

// -1 for a value that is neither on nor off.
int ParseSwitch(const std::string &value)
{
   static const char *const kOn[] = {"true", "1", "on", "yes", "enabled"};
   static const char *const kOff[] = {"false", "0", "off", "no", "disabled"};
   for (const char *word : kOn) {
      if (strcasecmp(value.c_str(), word) == 0) {
         return 1;
      }
   }
   for (const char *word : kOff) {
      if (strcasecmp(value.c_str(), word) == 0) {
         return 0;
      }
   }
   return -1;
}

} // namespace

constinit const std::array<FeatureEntry, kFeatureCount> FeatureList = BuildTable();

void FeatureState_InitFromFile(const std::string &path)
{
   gInvalid = nullptr;
   for (uint8_t &flag : gFlags) {
      flag = 0;
   }
   for (const Assigned &a : kAssigned) {
      gFlags[a.index] = a.defaultEnabled;
   }
   std::map<std::string, std::string> values;
   std::string error;
   if (!HostConfig_Load(path, values, error)) {
      return;
   }
   for (const Assigned &a : kAssigned) {
      auto it = values.find(std::string("features/") + a.name);
      if (it == values.end()) {
         continue;
      }
      int on = ParseSwitch(it->second);
      if (on < 0) {
         // A switch that may be a kill switch fails closed.
         Log_Level(110, "Feature switch features/%s has an invalid value \"%s\"; the feature is disabled\n",
                   a.name, it->second.c_str());
         gFlags[a.index] = 0;
         gInvalid = a.name;
         continue;
      }
      gFlags[a.index] = static_cast<uint8_t>(on);
      if (on == 0) {
         Log_Level(125, "Feature %s is disabled by %s\n", a.name, path.c_str());
      }
   }
}

void FeatureState_Init()
{
   FeatureState_InitFromFile(HostConfig_ResolvePath(kHostConfigDefaultPath));
}

const char *FeatureState_InvalidSwitch()
{
   return gInvalid;
}
