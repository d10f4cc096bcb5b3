#include "runtime/hostlib/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/hostlib/safe_text.h"

namespace {

struct LogOutput {
   std::mutex lock;
   FILE *file = nullptr;          // guarded by lock
   std::string path;              // guarded by lock; of `file`, for reopening
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

// Appends to `path`; a file made here gets mode kLogFileMode whatever the umask,
// since log lines name hosts and services that not every local user should read.
FILE *OpenLogFile(const std::string &path)
{
   bool created = true;
   int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, kLogFileMode);
   if (fd < 0 && errno == EEXIST) {
      created = false;
      fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
   }
   if (fd < 0) {
      return nullptr;
   }
   if (created && fchmod(fd, kLogFileMode) != 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return nullptr;
   }
   FILE *file = fdopen(fd, "a");
   if (file == nullptr) {
      int saved = errno;
      close(fd);
      errno = saved;
   }
   return file;
}

// The formatted message, or its first kLogMaxMessageBytes bytes when it is longer
// (no line can show more, so a huge argument is never copied whole); `total` is
// the full length, so that the cut can say how much was left out.
ZARNA_PRINTF(1, 0) std::string FormatV(const char *fmt, va_list ap, size_t &total)
{
   std::string out(kLogMaxMessageBytes + 1, '\0');
   int n = vsnprintf(out.data(), out.size(), fmt, ap);
   if (n < 0) {
      out = "<bad log format>";
      total = out.size();
      return out;
   }
   total = static_cast<size_t>(n);
   out.resize(std::min(total, kLogMaxMessageBytes));
   if (total > out.size()) {
      // The line end of the format is not text that was left out.
      size_t fmtLength = strlen(fmt);
      if (fmtLength > 0 && fmt[fmtLength - 1] == '\n') {
         --total;
      }
   }
   return out;
}

// Every line is written here, and only here, so that no text a caller or a peer
// put into a message or a context value can end the line early, start a forged
// one, steer a terminal or make a line longer than the documented limits.
void Emit(uint32_t level, std::string raw, size_t total)
{
   if (raw.size() == total) {
      while (!raw.empty() && raw.back() == '\n') {
         raw.pop_back();
      }
      total = raw.size();
   }
   std::string message;
   message.reserve(std::min(raw.size(), kLogMaxMessageBytes) + 32);
   Hostlib::AppendLogSafe(message, raw, kLogMaxMessageBytes, total);
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
      Hostlib::AppendLogSafe(line, key, kLogMaxContextBytes);
      line += '=';
      Hostlib::AppendLogSafe(line, value, kLogMaxContextBytes);
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
   size_t total = 0;
   std::string message = FormatV(fmt, ap, total);
   va_end(ap);
   Emit(level, std::move(message), total);
}

void Log(const char *fmt, ...)
{
   if (!Log_IsLevelOutputting(kLogDefaultLevel)) {
      return;
   }
   va_list ap;
   va_start(ap, fmt);
   size_t total = 0;
   std::string message = FormatV(fmt, ap, total);
   va_end(ap);
   Emit(kLogDefaultLevel, std::move(message), total);
}

void Panic(const char *fmt, ...)
{
   va_list ap;
   va_start(ap, fmt);
   size_t total = 0;
   std::string message = FormatV(fmt, ap, total);
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
      file = OpenLogFile(path);
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
   out.path = path;
   return true;
}

bool Log_ReopenFile()
{
   std::string path;
   {
      LogOutput &out = Output();
      std::lock_guard<std::mutex> guard(out.lock);
      path = out.path;
   }
   if (path.empty()) {
      return true;
   }
   FILE *file = OpenLogFile(path);
   if (file == nullptr) {
      return false; // the old file stays in use: lines go somewhere rather than nowhere
   }
   LogOutput &out = Output();
   std::lock_guard<std::mutex> guard(out.lock);
   if (out.path != path) {
      fclose(file); // replaced meanwhile by Log_SetFile
      return true;
   }
   if (out.file != nullptr) {
      fclose(out.file);
   }
   out.file = file;
   return true;
}

std::string Log_GetFile()
{
   LogOutput &out = Output();
   std::lock_guard<std::mutex> guard(out.lock);
   return out.path;
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
