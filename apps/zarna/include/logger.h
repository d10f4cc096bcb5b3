// Adapter that lets the RPC runtime log through the agent's numeric-level log.
#pragma once

#include <cstdint>
#include <memory>
#include <sstream>

#include "runtime/ruvo/log/logger.h"

namespace Zarna {

class RuvoLoggerWrapper : public Ruvo::Log::Logger {
public:
   using LogFunction = void (*)(uint32_t level, const char *fmt, ...);

   class Record : public Ruvo::Log::LogRecord {
   public:
      Record(LogFunction logFunction, uint32_t level) : mLogFunction(logFunction), mLevel(level) {}
      std::ostream &Stream() override { return mStream; }
      ~Record() override;

      Record(const Record &) = delete;
      Record &operator=(const Record &) = delete;

   private:
      LogFunction mLogFunction;
      uint32_t mLevel;
      std::ostringstream mStream;
   };

   RuvoLoggerWrapper();
   std::unique_ptr<Ruvo::Log::LogRecord> CreateRecord(int level) override;
   ~RuvoLoggerWrapper() override = default;

   // Numeric level for a runtime level 0..5.
   static uint32_t MapLevel(unsigned runtimeLevel);

private:
   LogFunction mLogFunction;
};

} // namespace Zarna
