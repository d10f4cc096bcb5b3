#include "runtime/tirel/config.h"

#include "runtime/hostlib/log.h"

namespace Tirel::Service {

void Settings::SetString(const std::string &key, const std::string &value)
{
   Hostlib::MutexLock guard(mLock);
   mValues[key] = value;
}

void Settings::SetInt(const std::string &key, int64_t value)
{
   SetString(key, std::to_string(value));
}

bool Settings::GetString(const std::string &key, std::string &value) const
{
   std::optional<std::string> text = Lookup(key);
   if (!text) {
      return false;
   }
   value = std::move(*text);
   return true;
}

bool Settings::Has(const std::string &key) const
{
   return Lookup(key).has_value();
}

std::map<std::string, std::string> Settings::Snapshot() const
{
   Hostlib::MutexLock guard(mLock);
   return mValues;
}

std::optional<std::string> Settings::Lookup(const std::string &key) const
{
   Hostlib::MutexLock guard(mLock);
   auto it = mValues.find(key);
   if (it == mValues.end()) {
      return std::nullopt;
   }
   return it->second;
}

void Settings::ReportNotInteger(const std::string &key, const std::string &text)
{
   Log_Level(115, "Setting %s is not a usable integer: \"%s\"\n", key.c_str(), text.c_str());
}

std::shared_ptr<Config> CreateScratchConfig()
{
   return std::make_shared<Config>();
}

} // namespace Tirel::Service
