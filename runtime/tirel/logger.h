// Framework logging on top of the host log: levels 0..6 (none, critical,
// error, warning, info, verbose, trivia), "%1".."%9" placeholders, and the
// per-thread log context.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/hostlib/log.h"

namespace Tirel::Service {

class Logger {
public:
   enum Level : int {
      kNone = 0,
      kCritical = 1,
      kError = 2,
      kWarning = 3,
      kInfo = 4,
      kVerbose = 5,
      kTrivia = 6,
   };

   explicit Logger(int level = kInfo) : mLevel(level) {}

   // Messages up to this level are written.
   int GetLevel() const { return mLevel.load(std::memory_order_relaxed); }
   void SetLevel(int level) { mLevel.store(level, std::memory_order_relaxed); }
   bool IsEnabled(int level) const { return level > kNone && level <= GetLevel(); }

   // Host log level of a framework level: critical and error 110, warning 115,
   // info 125, verbose 130, trivia 135; 0 for none (nothing is written).
   static uint32_t NumericLevel(int level);
   // "none" ... "trivia" (any case) or "0".."6".
   static bool ParseLevel(const std::string &text, int &level);

   // The framework's own logger; InitApp sets its level from "log/level".
   static Logger sDefaultLogger;

private:
   std::atomic<int> mLevel;
};

namespace Detail {
template <typename T> std::string ToText(const T &value)
{
   if constexpr (std::is_convertible_v<const T &, std::string>) {
      return std::string(value);
   } else {
      std::ostringstream stream;
      stream << value;
      return stream.str();
   }
}
// Replaces "%1".."%9" by the arguments and "%%" by "%"; other text stays.
std::string Substitute(const char *format, const std::vector<std::string> &args);
} // namespace Detail

// Writes one line through the host log at the numeric level of `level` when
// both `logger` and the host output level let it through; arguments are
// rendered only then.
template <typename... Args>
void LogInternal(const Logger &logger, int level, const char *format, const Args &...args)
{
   if (!logger.IsEnabled(level)) {
      return;
   }
   uint32_t numeric = Logger::NumericLevel(level);
   if (!Log_IsLevelOutputting(numeric)) {
      return;
   }
   std::string text = Detail::Substitute(format, {Detail::ToText(args)...});
   Log_Level(numeric, "%s\n", text.c_str());
}

// Binds `key` to `value` in the calling thread's log context (std::nullopt
// removes it) and returns the previous binding, which the caller restores.
std::optional<std::string> SetLogContext(const std::string &key, std::optional<std::string> value);

// Binds a key for the life of the object and then restores the previous
// binding, or removes the key when there was none.
class ScopedLogContext {
public:
   ScopedLogContext(std::string key, std::string value)
       : mKey(std::move(key)), mPrevious(SetLogContext(mKey, std::move(value)))
   {
   }
   ~ScopedLogContext() { SetLogContext(mKey, std::move(mPrevious)); }
   ScopedLogContext(const ScopedLogContext &) = delete;
   ScopedLogContext &operator=(const ScopedLogContext &) = delete;

private:
   std::string mKey;
   std::optional<std::string> mPrevious;
};

} // namespace Tirel::Service
