#include "runtime/hostctl/firewall_backend.h"

#include "runtime/hostctl/file_backend.h"
#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostctl/nftables_backend.h"
#include "runtime/hostlib/mutex.h"

namespace HykCtl::System {

namespace {

struct Registry {
   Hostlib::Mutex lock;
   std::shared_ptr<FirewallBackend> backend ZARNA_GUARDED_BY(lock);
};

Registry &GetRegistry()
{
   static Registry *registry = new Registry; // outlives static destructors of callers
   return *registry;
}

} // namespace

std::shared_ptr<FirewallBackend> CreateFirewallBackend(const std::string &setting)
{
   if (setting == "nftables") {
      return std::make_shared<NftablesBackend>();
   }
   const std::string filePrefix = "file:";
   if (setting.rfind(filePrefix, 0) == 0) {
      std::string path = setting.substr(filePrefix.size());
      if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
         throw HostCtl::Lib::HostCtlException("Invalid firewall backend", "the state file path must be absolute");
      }
      return std::make_shared<FileBackend>(path);
   }
   throw HostCtl::Lib::HostCtlException("Invalid firewall backend",
                                        "expected \"nftables\" or \"file:<path>\"");
}

void SetFirewallBackend(std::shared_ptr<FirewallBackend> backend)
{
   Registry &registry = GetRegistry();
   Hostlib::MutexLock guard(registry.lock);
   registry.backend = std::move(backend);
}

std::shared_ptr<FirewallBackend> GetFirewallBackend()
{
   Registry &registry = GetRegistry();
   Hostlib::MutexLock guard(registry.lock);
   if (!registry.backend) {
      registry.backend = std::make_shared<NftablesBackend>();
   }
   return registry.backend;
}

} // namespace HykCtl::System
