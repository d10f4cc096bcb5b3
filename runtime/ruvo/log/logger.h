// The runtime's logging seam: runtime components write through a Logger that the
// application supplies, so the application decides levels, layout and destinations.
#pragma once

#include <memory>
#include <ostream>
#include <utility>

namespace Ruvo::Log {

// Runtime levels, least severe first. The application maps them to its own scale.
enum Level : int {
   kTrace = 0,
   kDebug = 1,
   kInfo = 2,
   kWarning = 3,
   kError = 4,
   kFatal = 5,
};

// One log line under construction; the line is written when the record is destroyed.
class LogRecord {
public:
   virtual std::ostream &Stream() = 0;
   virtual ~LogRecord() = default;
};

class Logger {
public:
   // No record (nullptr) when the level is not output, so callers skip formatting.
   virtual std::unique_ptr<LogRecord> CreateRecord(int level) = 0;
   virtual ~Logger() = default;
};

using LoggerPtr = std::shared_ptr<Logger>;

// Writes the parts as one line; nothing is formatted when the level is off or the
// logger is absent.
template <class... Parts>
void Write(const LoggerPtr &logger, int level, const Parts &...parts)
{
   if (!logger) {
      return;
   }
   std::unique_ptr<LogRecord> record = logger->CreateRecord(level);
   if (record) {
      std::ostream &out = record->Stream();
      (out << ... << parts);
   }
}

} // namespace Ruvo::Log
