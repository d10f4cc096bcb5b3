#include "runtime/tirel/app.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "runtime/hostlib/host_config.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/mutex.h"
#include "runtime/tirel/logger.h"

namespace Tirel::Service {

namespace {

constexpr int kDefaultMaxThreads = 10;
constexpr int kLimitMaxThreads = 1024;

struct Globals {
   Hostlib::Mutex lock;
   AppInfo info ZARNA_GUARDED_BY(lock);
   std::shared_ptr<App> app ZARNA_GUARDED_BY(lock);
};

Globals &GetGlobals()
{
   static Globals *globals = new Globals; // never destroyed: pool threads may outlive main
   return *globals;
}

// Signals reach Run through a pipe: the handler only writes one byte.
int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int signo)
{
   int saved = errno;
   auto byte = static_cast<unsigned char>(signo);
   ssize_t n = write(gSignalPipe[1], &byte, 1);
   (void)n;
   errno = saved;
}

void InstallSignalHandlers()
{
   static std::once_flag once;
   std::call_once(once, [] {
      if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
         Panic("Tirel: cannot create the signal pipe: %d\n", errno);
      }
      struct sigaction action = {};
      action.sa_handler = OnStopSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      sigaction(SIGTERM, &action, nullptr);
      sigaction(SIGINT, &action, nullptr);
      // SIGHUP asks for the log file to be reopened (rotation), not for an end.
      sigaction(SIGHUP, &action, nullptr);
      // A peer or a log reader that went away is an error on that write, not the
      // end of the process.
      signal(SIGPIPE, SIG_IGN);
   });
}

void ApplyLogSettings(const Settings &settings)
{
   std::string levelName;
   if (settings.GetString("log/level", levelName)) {
      int level = Logger::kInfo;
      if (!Logger::ParseLevel(levelName, level)) {
         throw InitError("invalid log/level \"" + levelName +
                         "\" (expected none, critical, error, warning, info, verbose or trivia)");
      }
      Logger::sDefaultLogger.SetLevel(level);
      Log_SetOutputLevel(Logger::NumericLevel(level));
   }
   std::string file;
   if (settings.GetString("log/file", file) && !file.empty() && !Log_SetFile(file)) {
      throw InitError("cannot open log/file " + file + ": " + strerror(errno));
   }
}

int ReadThreadSetting(const Settings &settings, const std::string &key, int fallback)
{
   int value = fallback;
   if (settings.Has(key) && !settings.GetInt(key, value)) {
      throw InitError(key + " is not an integer");
   }
   if (value < 1 || value > kLimitMaxThreads) {
      throw InitError(key + " must be between 1 and " + std::to_string(kLimitMaxThreads));
   }
   return value;
}

} // namespace

App::App(std::shared_ptr<Config> config, AppInfo info, std::shared_ptr<System::ThreadPool> pool)
    : mConfig(std::move(config)), mInfo(std::move(info)), mPool(std::move(pool)),
      mStopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
   if (mStopFd < 0) {
      Panic("Tirel: eventfd failed: %d\n", errno);
   }
}

App::~App()
{
   close(mStopFd);
}

void App::Run()
{
   pollfd fds[2] = {{gSignalPipe[0], POLLIN, 0}, {mStopFd, POLLIN, 0}};
   for (;;) {
      int n = poll(fds, 2, -1);
      if (n < 0) {
         if (errno == EINTR) {
            continue;
         }
         Log_Level(110, "Run: poll failed: %d\n", errno);
         return;
      }
      if (fds[1].revents != 0) {
         Log_Level(125, "Stop requested\n");
         return;
      }
      unsigned char signo = 0;
      if (read(gSignalPipe[0], &signo, 1) != 1) {
         continue;
      }
      if (signo == SIGHUP) {
         if (Log_ReopenFile()) {
            Log_Level(125, "Received signal %d, log file reopened\n", signo);
         } else {
            const int error = errno;
            Log_Level(110, "Received signal %d, cannot reopen the log file %s: %s\n", signo,
                      Log_GetFile().c_str(), strerror(error));
         }
         continue;
      }
      Log_Level(125, "Received signal %d, stopping\n", signo);
      return;
   }
}

void App::Stop()
{
   uint64_t one = 1;
   ssize_t n = write(mStopFd, &one, sizeof one);
   (void)n;
}

void SetAppInfo(const AppInfo &info)
{
   Globals &globals = GetGlobals();
   Hostlib::MutexLock guard(globals.lock);
   globals.info = info;
}

void StartApp(const std::shared_ptr<Config> &config, std::shared_ptr<System::Clock> clock)
{
   auto own = CreateScratchConfig();
   for (const auto &[key, value] : config->GetSettings().Snapshot()) {
      own->GetSettings().SetString(key, value);
   }
   ApplyLogSettings(own->GetSettings());
   int maxThreads =
       ReadThreadSetting(own->GetSettings(), "tirel/threadPool/maxThreads", kDefaultMaxThreads);
   ReadThreadSetting(own->GetSettings(), "tirel/threadPool/ioThreads", 1);
   InstallSignalHandlers();

   auto pool =
       std::make_shared<System::ThreadPool>(static_cast<size_t>(maxThreads), std::move(clock));
   Globals &globals = GetGlobals();
   std::shared_ptr<App> previous;
   {
      Hostlib::MutexLock guard(globals.lock);
      previous = std::move(globals.app);
      globals.app = std::make_shared<App>(own, globals.info, pool);
      Log_Level(125, "Started %s %s (build %u) with at most %d worker threads\n",
                globals.info.name.c_str(), globals.info.version.c_str(), globals.info.build,
                maxThreads);
   }
   // `previous` (and its pool, once unused) goes here, outside the lock.
}

void InitApp(const std::shared_ptr<Config> &config, const std::string &path)
{
   std::string resolved = HostConfig_ResolvePath(path);
   std::map<std::string, std::string> fileValues;
   std::string error;
   if (!HostConfig_Load(resolved, fileValues, error)) {
      throw InitError(error);
   }
   auto merged = CreateScratchConfig();
   for (const auto &[key, value] : config->GetSettings().Snapshot()) {
      merged->GetSettings().SetString(key, value);
   }
   for (const auto &[key, value] : fileValues) {
      merged->GetSettings().SetString(key, value);
   }
   StartApp(merged, nullptr);
}

std::shared_ptr<App> GetApp()
{
   Globals &globals = GetGlobals();
   Hostlib::MutexLock guard(globals.lock);
   return globals.app;
}

} // namespace Tirel::Service

namespace Tirel::System {

void QuickExit(int code)
{
   Log_Flush();
   _exit(code);
}

} // namespace Tirel::System
