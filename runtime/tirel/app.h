// The application: configuration, thread pool and the blocking run loop.
//
// Start-up: CreateScratchConfig, fill in defaults, SetAppInfo, then
// InitApp(config, path), which reads the configuration file over the defaults,
// applies the logging settings and starts the thread pool. GetApp then yields
// the running application.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "runtime/tirel/clock.h"
#include "runtime/tirel/config.h"
#include "runtime/tirel/thread_pool.h"

namespace Tirel::Service {

struct AppInfo {
   std::string name;
   std::string version;
   uint32_t build = 0;
   uint32_t revision = 0;
};

// Why InitApp could not start the application.
class InitError : public std::runtime_error {
public:
   using std::runtime_error::runtime_error;
};

class App {
public:
   App(std::shared_ptr<Config> config, AppInfo info, std::shared_ptr<System::ThreadPool> pool);
   ~App();
   App(const App &) = delete;
   App &operator=(const App &) = delete;

   std::shared_ptr<Config> GetConfig() const { return mConfig; }
   Settings &GetSettings() const { return mConfig->GetSettings(); }
   std::shared_ptr<System::ThreadPool> GetThreadPool() const { return mPool; }
   const AppInfo &GetAppInfo() const { return mInfo; }

   // Blocks until SIGTERM or SIGINT arrives or Stop is called (also before
   // Run: a stopped application's Run returns at once). SIGHUP reopens the log
   // file meanwhile; SIGPIPE is ignored from the application's start.
   void Run();
   void Stop();

private:
   const std::shared_ptr<Config> mConfig;
   const AppInfo mInfo;
   const std::shared_ptr<System::ThreadPool> mPool;
   const int mStopFd; // eventfd; stays readable once stopped
};

void SetAppInfo(const AppInfo &info);

// Reads the XML configuration file at `path` ($ZARNA_CONFIG overrides it)
// over the settings of `config` (file values win), applies "log/level" and
// "log/file", and starts the application with a thread pool of at most
// "tirel/threadPool/maxThreads" workers (default 10). Throws InitError, with
// the file name and the parse error's offset where there is one, when the
// file is missing or malformed or a framework setting is invalid. A second
// call replaces the running application.
void InitApp(const std::shared_ptr<Config> &config, const std::string &path);

// InitApp without a file: starts the application from `config` alone, with
// `clock` driving the scheduler (null: the system's monotonic clock). Tests
// use it with a ManualClock.
void StartApp(const std::shared_ptr<Config> &config, std::shared_ptr<System::Clock> clock);

// The running application; null before InitApp.
std::shared_ptr<App> GetApp();

} // namespace Tirel::Service

namespace Tirel::System {

// Flushes the log and ends the process at once with `code` (no destructors,
// no atexit handlers).
[[noreturn]] void QuickExit(int code);

} // namespace Tirel::System
