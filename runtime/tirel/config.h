// Configuration: a flat set of settings keyed by slash paths ("log/level").
// Values are kept as text; integers are parsed when read.
#pragma once

#include <charconv>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "runtime/hostlib/mutex.h"

namespace Tirel::Service {

class Settings {
public:
   void SetString(const std::string &key, const std::string &value);
   void SetInt(const std::string &key, int64_t value);

   // Reads the value into `value` and returns true. When the key is absent, or
   // its text is not a decimal integer that fits T, `value` keeps what it held
   // and false is returned (a present but unusable value is also logged).
   template <typename T>
   requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) bool GetInt(const std::string &key,
                                                                           T &value) const
   {
      std::optional<std::string> text = Lookup(key);
      if (!text) {
         return false;
      }
      T parsed{};
      const char *end = text->data() + text->size();
      auto [ptr, ec] = std::from_chars(text->data(), end, parsed);
      if (ec != std::errc() || ptr != end || text->empty()) {
         ReportNotInteger(key, *text);
         return false;
      }
      value = parsed;
      return true;
   }

   // As GetInt, for text; false when absent.
   bool GetString(const std::string &key, std::string &value) const;
   bool Has(const std::string &key) const;
   std::map<std::string, std::string> Snapshot() const;

private:
   std::optional<std::string> Lookup(const std::string &key) const;
   static void ReportNotInteger(const std::string &key, const std::string &text);

   mutable Hostlib::Mutex mLock;
   std::map<std::string, std::string> mValues ZARNA_GUARDED_BY(mLock);
};

class Config {
public:
   Settings &GetSettings() { return mSettings; }
   const Settings &GetSettings() const { return mSettings; }

private:
   Settings mSettings;
};

// An empty configuration, to be filled with defaults before InitApp.
std::shared_ptr<Config> CreateScratchConfig();

} // namespace Tirel::Service
