#include "apps/zarna/include/logger.h"

#include <array>

#include "runtime/hostlib/log.h"

namespace Zarna {

namespace {

constexpr std::array<uint32_t, 6> kLevelMap = {135, 130, 125, 115, 110, 105};

// The check's location is part of the agent's documented panic text, so it is fixed
// rather than taken from the compiler.
constexpr const char *kCheckFile = "apps/zarna/include/logger";
constexpr int kCheckLine = 96;

} // namespace

RuvoLoggerWrapper::Record::~Record()
{
   mLogFunction(mLevel, "%s\n", mStream.str().c_str());
}

RuvoLoggerWrapper::RuvoLoggerWrapper() : mLogFunction(&Log_Level) {}

uint32_t RuvoLoggerWrapper::MapLevel(unsigned runtimeLevel)
{
   if (runtimeLevel >= kLevelMap.size()) {
      Panic("NOT_REACHED %s:%d\n", kCheckFile, kCheckLine);
   }
   return kLevelMap[runtimeLevel];
}

std::unique_ptr<Ruvo::Log::LogRecord> RuvoLoggerWrapper::CreateRecord(int level)
{
   // A negative level is as impossible as one above 5.
   uint32_t mapped = MapLevel(static_cast<unsigned>(level));
   if (!Log_IsLevelOutputting(mapped)) {
      return nullptr;
   }
   return std::make_unique<Record>(mLogFunction, mapped);
}

} // namespace Zarna
