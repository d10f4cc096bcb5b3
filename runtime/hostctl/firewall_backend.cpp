#include "runtime/hostctl/firewall_backend.h"

#include <algorithm>
#include <type_traits>
#include <variant>

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

void FirewallBackend::ChangeAddresses(const std::string &rulesetId,
                                      const std::vector<HostCtl::Network::IpAddress> &add,
                                      const std::vector<HostCtl::Network::IpAddress> &remove)
{
   RulesetState current = QueryRuleset(rulesetId);
   for (const auto &address : add) {
      AddAddress(rulesetId, address);
   }
   for (const auto &address : remove) {
      bool present = std::visit(
         [&](const auto &a) {
            if constexpr (std::is_same_v<std::decay_t<decltype(a)>, HostCtl::Network::Ipv4Address>) {
               return std::find(current.ipv4.begin(), current.ipv4.end(), a) != current.ipv4.end();
            } else {
               return std::find(current.ipv6.begin(), current.ipv6.end(), a) != current.ipv6.end();
            }
         },
         address);
      if (present) {
         RemoveAddress(rulesetId, address);
      }
   }
}

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
      // Start-up is the only caller, so no other writer can own a temporary file.
      FileBackend::RemoveLeftoverTemporaries(path);
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
