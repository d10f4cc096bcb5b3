#include "apps/zarna/startup.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/zarna/instance_lock.h"
#include "apps/zarna/io_worker.h"
#include "apps/zarna/known_settings.h"
#include "apps/zarna/service_notify.h"
#include "apps/zarna/kernel/rpc_channel.h"
#include "apps/zarna/ruvo/endpoints/local_socket_endpoint.h"
#include "apps/zarna/ruvo/endpoints/tcp_endpoint.h"
#include "apps/zarna/ruvo/provider/provider.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/configstore/config_store.h"
#include "runtime/hostctl/firewall_backend.h"
#include "runtime/hostlib/log.h"
#include "runtime/hyperkern/channel_backend.h"
#include "runtime/tpm2/tpm2.h"
#include "runtime/keylocator/keycache_backend.h"
#include "runtime/ruvo/transport/descriptor_limit.h"
#include "runtime/tirel/app.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

namespace {

constexpr int kDefaultTcpPort = 7890;
constexpr const char *kLocalSocketPath = "zarnaRuvoLocal.sock";
// Two: on a machine of two cores a third only adds hand-offs between threads
// (measured under load: more CPU per request and a longer tail), and nothing that
// waits on the network runs on them (key operations go to the pool).
constexpr int kIoWorkers = 2;
// Beyond the I/O workers, the kernel channel's receive, the start-up work and the
// key operations need threads of their own, or they never run.
constexpr int kMinOtherThreads = 3;
constexpr int kDefaultMaxThreads = 10;
constexpr const char *kDefaultStorePath = "/var/lib/zarna/configstore.db";
constexpr const char *kDefaultFirewallBackend = "nftables";

std::once_flag gLoggerOnce;
std::shared_ptr<Ruvo::Log::Logger> gRuvoLogger; // written once under gLoggerOnce

using IoContext = boost::asio::io_context;
using WorkGuard = boost::asio::executor_work_guard<IoContext::executor_type>;

// Counts the I/O workers still inside the I/O context, so that the context is
// destroyed only after the last one has left it.
class WorkerCount {
public:
   void Enter()
   {
      std::lock_guard<std::mutex> guard(mLock);
      ++mRunning;
   }
   void Leave()
   {
      std::lock_guard<std::mutex> guard(mLock);
      --mRunning;
      mChanged.notify_all();
   }
   bool WaitForNone(std::chrono::seconds limit)
   {
      std::unique_lock<std::mutex> guard(mLock);
      return mChanged.wait_for(guard, limit, [this] { return mRunning == 0; });
   }

private:
   std::mutex mLock;
   std::condition_variable mChanged;
   int mRunning = 0; // guarded by mLock
};

// Everything start-up builds after the trust state, in construction order; the
// orderly stop takes it down in its own order.
struct Agent {
   Ruvo::L10n::LocalizerPtr localizer;
   Ruvo::Core::AsyncApiProviderPtr tcpChain;
   Ruvo::Core::AsyncApiProviderPtr localChain;
   std::unique_ptr<IoContext> io;
   std::optional<WorkGuard> workGuard;
   std::shared_ptr<WorkerCount> workers = std::make_shared<WorkerCount>();
   std::unique_ptr<TcpEndpoint> tcpEndpoint;
   std::unique_ptr<LocalSocketEndpoint> localEndpoint;
   std::shared_ptr<ServiceNotifier> notifier = ServiceNotifier::FromEnvironment();

   // Whatever way start-up is left (an exception included), the workers leave
   // the I/O context before it and the endpoints on it are destroyed.
   ~Agent()
   {
      if (!workGuard || !io) {
         return;
      }
      workGuard.reset();
      io->stop();
      if (!workers->WaitForNone(std::chrono::seconds(30))) {
         Log_Level(110, "I/O workers did not stop in time\n");
         // Destroying a context that a thread still runs is worse than a leak
         // at exit.
         (void)tcpEndpoint.release();
         (void)localEndpoint.release();
         (void)io.release();
      }
   }
};

// The one instance lock of the process, held until it ends.
InstanceLock gInstanceLock;
// The same for the working directory, where the local socket lives: two agents
// on different stores must not take each other's socket either.
InstanceLock gDirectoryLock;
constexpr const char *kDirectoryLockName = "zarna.lock";

// Settings whose wrong value would leave the agent running but unable to work:
// refused at start-up with one line naming the setting. False after logging.
bool CheckSettings(const Tirel::Service::Settings &settings, int &port)
{
   int maxThreads = kDefaultMaxThreads;
   if (settings.Has("tirel/threadPool/maxThreads") && !settings.GetInt("tirel/threadPool/maxThreads", maxThreads)) {
      Log_Level(110, "tirel/threadPool/maxThreads is not an integer. Exiting.\n");
      return false;
   }
   if (maxThreads < kIoWorkers + kMinOtherThreads) {
      Log_Level(110,
                "tirel/threadPool/maxThreads is %d; at least %d are needed (%d I/O workers and %d for other "
                "work). Exiting.\n",
                maxThreads, kIoWorkers + kMinOtherThreads, kIoWorkers, kMinOtherThreads);
      return false;
   }
   port = kDefaultTcpPort;
   if (settings.Has("api/tcpPort") && !settings.GetInt("api/tcpPort", port)) {
      Log_Level(110, "api/tcpPort is not an integer. Exiting.\n");
      return false;
   }
   if (port < 1 || port > 65535) {
      Log_Level(110, "api/tcpPort is %d; it must be 1-65535. Exiting.\n", port);
      return false;
   }
   return true;
}

// Taken before anything shared with another agent is touched. False after logging.
bool LockInstance(const Tirel::Service::Settings &settings)
{
   std::string storePath = kDefaultStorePath;
   settings.GetString("configstore/path", storePath);
   std::string lockPath = InstanceLock::PathFor(storePath);
   bool heldElsewhere = false;
   std::string error;
   if (!gInstanceLock.Acquire(lockPath, heldElsewhere, error)) {
      if (heldElsewhere) {
         Log_Level(110, "Another zarna agent is running with the store %s (lock %s is held). Exiting.\n",
                   storePath.c_str(), lockPath.c_str());
      } else {
         Log_Level(110, "Cannot open the instance lock %s: %s. Exiting.\n", lockPath.c_str(), error.c_str());
      }
      return false;
   }
   if (!gDirectoryLock.Acquire(kDirectoryLockName, heldElsewhere, error)) {
      if (heldElsewhere) {
         Log_Level(110, "Another zarna agent is running in this working directory (lock %s is held). Exiting.\n",
                   kDirectoryLockName);
      } else {
         Log_Level(110, "Cannot open the instance lock %s: %s. Exiting.\n", kDirectoryLockName, error.c_str());
      }
      return false;
   }
   return true;
}

// The platform pieces the configuration chooses: where the services are stored
// and how the firewall is reached.
void SelectPlatformBackends(const Tirel::Service::Settings &settings)
{
   std::string storePath = kDefaultStorePath;
   settings.GetString("configstore/path", storePath);
   BrimConfigStore::ConfigStore::SetDatabasePath(storePath);

   std::string tcti = AttestLib::Tpm2::kDefaultTcti;
   settings.GetString("tpm/tcti", tcti);
   AttestLib::Tpm2::SetTcti(tcti);

   std::string firewall = kDefaultFirewallBackend;
   settings.GetString("firewall/backend", firewall);
   HykCtl::System::SetFirewallBackend(HykCtl::System::CreateFirewallBackend(firewall));

   // The kernel key cache; a backend installed beforehand (tests) is kept.
   KeyLoc::KeyCacheSettings keyCache;
   keyCache.emulatorSocket = Hyperkern::kDefaultChannel;
   settings.GetString(KeyLoc::kBackendSetting, keyCache.backend);
   settings.GetString(Hyperkern::kChannelSetting, keyCache.emulatorSocket);
   settings.GetString(KeyLoc::kKeyringSetting, keyCache.keyring);
   std::string error;
   auto backend = KeyLoc::CreateKeyCacheBackend(keyCache, &error);
   if (!backend) {
      throw std::runtime_error(error);
   }
   if (!KeyLoc::GetKeyCacheBackend()) {
      KeyLoc::SetKeyCacheBackend(std::move(backend));
   }
}

void StartIoWorkers(Agent &agent, Tirel::System::ThreadPool &pool)
{
   agent.workGuard.emplace(agent.io->get_executor());
   for (int i = 0; i < kIoWorkers; ++i) {
      agent.workers->Enter();
      pool.Enqueue([io = agent.io.get(), workers = agent.workers] {
         struct Leave {
            WorkerCount &count;
            ~Leave() { count.Leave(); }
         } leave{*workers};
         RunIoWorker(*io);
      });
   }
}

void QueueInitialCacheFill(Tirel::System::ThreadPool &pool)
{
   pool.Enqueue([] {
      static Ths::Common::TirelRuvo::SequenceOpIdGenerator generator("InitCache");
      std::optional<std::string> previous =
         Tirel::Service::SetLogContext(Ths::Common::TirelRuvo::kOpIdKey, generator.Next());
      // The first token; the outcome is in the log, and a key request or the
      // next configuration change attests again if this one failed.
      Ruvo::Data::ErrorValuePtr ignored;
      ZarnaState::GetInstance()->PopulateTokens(ignored);
      if (previous) {
         Tirel::Service::SetLogContext(Ths::Common::TirelRuvo::kOpIdKey, previous);
      } else {
         Tirel::Service::SetLogContext(Ths::Common::TirelRuvo::kOpIdKey, std::nullopt);
      }
   });
}

[[noreturn]] void OrderlyStop(Agent &agent, int exitCode, bool workersRunning)
{
   // Keep-alives go on: a stop that hangs is still ended by the manager.
   agent.notifier->Stopping();
   // 1. Let the I/O workers return.
   if (workersRunning) {
      agent.workGuard.reset();
      agent.io->stop();
      if (!agent.workers->WaitForNone(std::chrono::seconds(30))) {
         Log_Level(110, "I/O workers did not stop in time\n");
      }
   }
   // 2. The kernel channel.
   UnregisterRpc();
   // 3. Endpoints: the socket file goes with the local one.
   agent.localEndpoint.reset();
   agent.tcpEndpoint.reset();
   // 4. The I/O context (only once nobody runs it any more).
   if (!workersRunning || agent.workers->WaitForNone(std::chrono::seconds(0))) {
      agent.io.reset();
   } else {
      (void)agent.io.release();
   }
   // 5. Chains and localizer.
   agent.localChain.reset();
   agent.tcpChain.reset();
   agent.localizer.reset();
   // 6. Trust state.
   ZarnaState::GetInstance()->Shutdown();
   // 7.
   Tirel::System::QuickExit(exitCode);
}

} // namespace

std::shared_ptr<Ruvo::Log::Logger> GetRuvoLogger()
{
   return gRuvoLogger;
}

void RunAgent(std::shared_ptr<Ruvo::Log::Logger> logger)
{
   // 7. The runtime logger, installed once and never replaced.
   std::call_once(gLoggerOnce, [&] { gRuvoLogger = std::move(logger); });
   std::shared_ptr<Tirel::Service::App> app = Tirel::Service::GetApp();
   int port = kDefaultTcpPort;
   if (!CheckSettings(app->GetSettings(), port) || !LockInstance(app->GetSettings())) {
      Tirel::System::QuickExit(1);
   }
   LogUnknownSettings(app->GetSettings());
   ApiSecurity apiSecurity;

   try {
      // Every API connection holds a descriptor.
      Ruvo::Asio::RaiseDescriptorLimit();
      SelectPlatformBackends(app->GetSettings());
      // The TCP API is served only when its callers can be checked.
      std::string securityError;
      if (!LoadApiSecurity(app->GetSettings(), gRuvoLogger, apiSecurity, securityError)) {
         Log_Level(110, "%s. Exiting.\n", securityError.c_str());
         Tirel::System::QuickExit(1);
      }

      // 8. Kernel channel.
      if (!RegisterRpc()) {
         Log_Level(110, "Failed to register RPC. Exiting.\n");
         Tirel::System::QuickExit(1);
      }
   } catch (const std::exception &e) {
      Log_Level(110, "Exiting with error: %s\n", e.what());
      Tirel::System::QuickExit(1);
   }

   try {
      Agent agent;

      // 9. Trust state: loads the services and opens the firewall for them.
      ZarnaState::GetInstance()->Init();

      // 10.-11. Localizer and provider chains, sharing one direct enqueuer.
      Ruvo::Provider::Enqueuer enqueuer = Ruvo::Provider::DirectEnqueuer();
      agent.localizer = CreateLocalizer();
      agent.tcpChain = CreateTcpProviderChain(enqueuer, agent.localizer, gRuvoLogger, apiSecurity);
      agent.localChain = CreateLocalSocketProviderChain(enqueuer, agent.localizer, gRuvoLogger);

      // 12.-13. One I/O context for both endpoints; constructing opens nothing.
      agent.io = std::make_unique<IoContext>();
      agent.tcpEndpoint = std::make_unique<TcpEndpoint>(port, *agent.io, agent.tcpChain, enqueuer,
                                                        agent.localizer, gRuvoLogger);
      agent.localEndpoint = std::make_unique<LocalSocketEndpoint>(
         kLocalSocketPath, *agent.io, agent.localChain, enqueuer, agent.localizer, gRuvoLogger);

      // 14. Listen: TCP first, the local socket only when TCP is up.
      if (!agent.tcpEndpoint->Start() || !agent.localEndpoint->Start()) {
         Log_Level(110, "An endpoint failed to start. Exiting.\n");
         OrderlyStop(agent, 1, false);
      }

      // 15.-16. Serve, and fetch the first tokens meanwhile.
      StartIoWorkers(agent, *app->GetThreadPool());
      QueueInitialCacheFill(*app->GetThreadPool());
      // Both endpoints listen and the kernel channel is registered.
      agent.notifier->StartKeepAlive(app->GetThreadPool());
      agent.notifier->Ready("Serving");

      // 17. Until SIGTERM or SIGINT.
      app->Run();
      OrderlyStop(agent, 0, true);
   } catch (const std::exception &e) {
      Log_Level(110, "Exiting with error: %s\n", e.what());
   }
   // The objects of the serving phase are gone with the scope; the kernel
   // channel stays registered on this path.
   // Only a state that was built is shut down: building it again would only
   // repeat (and log again) the failure that brought us here.
   if (std::shared_ptr<ZarnaState> state = ZarnaState::GetExistingInstance()) {
      try {
         state->Shutdown();
      } catch (const std::exception &e) {
         Log_Level(110, "Exiting with error: %s\n", e.what());
      }
   }
   Tirel::System::QuickExit(1);
}

} // namespace Zarna
