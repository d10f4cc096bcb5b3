#include "runtime/hostlib/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct LogOutput {
   std::mutex lock;
   FILE *file = nullptr;          // guarded by lock
   bool toStderr = true;          // guarded by lock
   std::shared_ptr<LogSink> sink; // guarded by lock
};

LogOutput &Output()
{
   static LogOutput *output = new LogOutput; // never destroyed: logging works during exit
   return *output;
}

std::atomic<uint32_t> gOutputLevel{kLogDefaultLevel};

thread_local std::map<std::string, std::string> tContext;

long ThreadId()
{
   static thread_local long tid = syscall(SYS_gettid);
   return tid;
}

ZARNA_PRINTF(1, 0) std::string FormatV(const char *fmt, va_list ap)
{
   va_list copy;
   va_copy(copy, ap);
   char stackBuf[512];
   int n = vsnprintf(stackBuf, sizeof stackBuf, fmt, copy);
   va_end(copy);
   if (n < 0) {
      return std::string("<bad log format>");
   }
   if (static_cast<size_t>(n) < sizeof stackBuf) {
      return std::string(stackBuf, static_cast<size_t>(n));
   }
   std::string out(static_cast<size_t>(n) + 1, '\0');
   vsnprintf(out.data(), out.size(), fmt, ap);
   out.resize(static_cast<size_t>(n));
   return out;
}

void Emit(uint32_t level, std::string message)
{
   while (!message.empty() && message.back() == '\n') {
      message.pop_back();
   }
   struct timespec ts;
   clock_gettime(CLOCK_REALTIME, &ts);
   struct tm tm;
   gmtime_r(&ts.tv_sec, &tm);
   char stamp[40];
   snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
            tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);

   std::string line;
   line.reserve(message.size() + 64);
   line += stamp;
   line += ' ';
   line += std::to_string(level);
   line += " [";
   line += std::to_string(ThreadId());
   line += "] ";
   for (const auto &[key, value] : tContext) {
      line += '[';
      line += key;
      line += '=';
      line += value;
      line += "] ";
   }
   line += message;
   line += '\n';

   LogOutput &out = Output();
   std::shared_ptr<LogSink> sink;
   {
      std::lock_guard<std::mutex> guard(out.lock);
      if (out.toStderr) {
         fwrite(line.data(), 1, line.size(), stderr);
      }
      if (out.file != nullptr) {
         fwrite(line.data(), 1, line.size(), out.file);
         fflush(out.file);
      }
      sink = out.sink;
   }
   if (sink && *sink) {
      (*sink)(level, message);
   }
}

} // namespace

bool Log_IsLevelOutputting(uint32_t level)
{
   return level <= gOutputLevel.load(std::memory_order_relaxed);
}

void Log_Level(uint32_t level, const char *fmt, ...)
{
   if (!Log_IsLevelOutputting(level)) {
      return;
   }
   va_list ap;
   va_start(ap, fmt);
   std::string message = FormatV(fmt, ap);
   va_end(ap);
   Emit(level, std::move(message));
}

void Log(const char *fmt, ...)
{
   if (!Log_IsLevelOutputting(kLogDefaultLevel)) {
      return;
   }
   va_list ap;
   va_start(ap, fmt);
   std::string message = FormatV(fmt, ap);
   va_end(ap);
   Emit(kLogDefaultLevel, std::move(message));
}

void Panic(const char *fmt, ...)
{
   va_list ap;
   va_start(ap, fmt);
   std::string message = FormatV(fmt, ap);
   va_end(ap);
   // Always reaches standard error, whatever the configured outputs are.
   fprintf(stderr, "PANIC: %s%s", message.c_str(),
           (!message.empty() && message.back() == '\n') ? "" : "\n");
   fflush(stderr);
   {
      LogOutput &out = Output();
      std::lock_guard<std::mutex> guard(out.lock);
      if (out.file != nullptr) {
         fprintf(out.file, "PANIC: %s", message.c_str());
         fflush(out.file);
      }
   }
   abort();
}

void Log_SetOutputLevel(uint32_t maxLevel)
{
   gOutputLevel.store(maxLevel, std::memory_order_relaxed);
}

uint32_t Log_GetOutputLevel()
{
   return gOutputLevel.load(std::memory_order_relaxed);
}

bool Log_SetFile(const std::string &path)
{
   FILE *file = nullptr;
   if (!path.empty()) {
      file = fopen(path.c_str(), "ae");
      if (file == nullptr) {
         return false;
      }
   }
   LogOutput &out = Output();
   std::lock_guard<std::mutex> guard(out.lock);
   if (out.file != nullptr) {
      fclose(out.file);
   }
   out.file = file;
   return true;
}

void Log_SetStderr(bool enabled)
{
   LogOutput &out = Output();
   std::lock_guard<std::mutex> guard(out.lock);
   out.toStderr = enabled;
}

void Log_Flush()
{
   LogOutput &out = Output();
   std::lock_guard<std::mutex> guard(out.lock);
   fflush(stderr);
   if (out.file != nullptr) {
      fflush(out.file);
   }
}

void Log_SetSink(LogSink sink)
{
   LogOutput &out = Output();
   std::lock_guard<std::mutex> guard(out.lock);
   out.sink = sink ? std::make_shared<LogSink>(std::move(sink)) : nullptr;
}

std::optional<std::string> Log_SetContext(const std::string &key,
                                          std::optional<std::string> value)
{
   std::optional<std::string> previous;
   auto it = tContext.find(key);
   if (it != tContext.end()) {
      previous = std::move(it->second);
      tContext.erase(it);
   }
   if (value) {
      tContext.emplace(key, std::move(*value));
   }
   return previous;
}

std::optional<std::string> Log_GetContext(const std::string &key)
{
   auto it = tContext.find(key);
   if (it == tContext.end()) {
      return std::nullopt;
   }
   return it->second;
}
