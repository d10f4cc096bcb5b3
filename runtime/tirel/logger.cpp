#include "runtime/tirel/logger.h"

#include <strings.h>

namespace Tirel::Service {

Logger Logger::sDefaultLogger;

uint32_t Logger::NumericLevel(int level)
{
   switch (level) {
   case kCritical:
   case kError:
      return 110;
   case kWarning:
      return 115;
   case kInfo:
      return 125;
   case kVerbose:
      return 130;
   case kTrivia:
      return 135;
   default:
      return 0;
   }
}

bool Logger::ParseLevel(const std::string &text, int &level)
{
   static const char *const kNames[] = {"none", "critical", "error", "warning",
                                        "info", "verbose",  "trivia"};
   for (int i = 0; i <= kTrivia; ++i) {
      if (strcasecmp(text.c_str(), kNames[i]) == 0 || text == std::to_string(i)) {
         level = i;
         return true;
      }
   }
   return false;
}

namespace Detail {

std::string Substitute(const char *format, const std::vector<std::string> &args)
{
   std::string out;
   for (const char *p = format; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] == '%') {
         out += '%';
         ++p;
      } else if (p[0] == '%' && p[1] >= '1' && p[1] <= '9' &&
                 static_cast<size_t>(p[1] - '1') < args.size()) {
         out += args[static_cast<size_t>(p[1] - '1')];
         ++p;
      } else {
         out += *p;
      }
   }
   return out;
}

} // namespace Detail

std::optional<std::string> SetLogContext(const std::string &key, std::optional<std::string> value)
{
   return Log_SetContext(key, std::move(value));
}

} // namespace Tirel::Service
