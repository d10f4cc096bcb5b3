// The production trust state and transport of the key provider client.
#include "apps/zarna/kms/zarn_client.h"

#include "apps/zarna/include/logger.h"

#include "apps/zarna/ruvo/messages.h"
#include "runtime/configstore/config_store_exception.h"
#include "runtime/hostctl/agent_traffic.h"
#include "runtime/hostlib/log.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"

namespace Zarna {
namespace {

class TrustStateAdapter : public ZarnClientState {
public:
   void GetGroups(Ruvo::Data::ErrorValuePtr &error, std::vector<ZarnaStateInfo> &groups) override
   {
      auto state = Instance(error);
      if (state) {
         state->GetGroups(error, groups);
      }
   }
   void DeleteTokenForGroup(const std::string &group) override
   {
      Ruvo::Data::ErrorValuePtr ignored;
      if (auto state = Instance(ignored)) {
         state->DeleteTokenForGroup(group);
      }
   }
   bool WaitOnAttestation(const std::string &group, bool anyToken,
                          Ruvo::Data::ErrorValuePtr &error) override
   {
      auto state = Instance(error);
      return state && state->WaitOnAttestation(group, anyToken, error);
   }
   bool GetZarndInfo(const std::string &group, std::string &hostname, uint32_t &port,
                     std::vector<std::string> &certificates) override
   {
      Ruvo::Data::ErrorValuePtr ignored;
      auto state = Instance(ignored);
      return state && state->GetZarndInfo(group, hostname, port, certificates);
   }

private:
   // A store that failed while the state was first built is retried on the next
   // use; meanwhile the operation fails as if nothing were configured.
   static std::shared_ptr<ZarnaState> Instance(Ruvo::Data::ErrorValuePtr &error)
   {
      try {
         return ZarnaState::GetInstance();
      } catch (const BrimConfigStore::ConfigStoreException &) {
         error = MakeError(ErrorClass::Error, ErrorIds::kVeritorServicesNotConfigured);
         return nullptr;
      }
   }
};

} // namespace

std::shared_ptr<ZarnClientState> DefaultZarnClientState()
{
   return std::make_shared<TrustStateAdapter>();
}

ZarndProviderFactory DefaultZarndProviderFactory()
{
   return [](boost::asio::io_context &io, const std::string &hostname, const std::string &port,
             const std::vector<std::string> &certificates) -> Ruvo::Core::AsyncApiProviderPtr {
      unsigned long number = 0;
      try {
         number = std::stoul(port);
      } catch (const std::exception &) {
         return nullptr;
      }
      if (number == 0 || number > 65535) {
         return nullptr;
      }
      Ruvo::Asio::StreamLimits limits;
      limits.prepareSocket = [](int fd) {
         // Without the mark an enabled firewall ruleset drops our own traffic;
         // without CAP_NET_ADMIN no ruleset is enforced, so a refusal is harmless.
         (void)HostCtl::Network::MarkAgentSocket(fd);
      };
      return Ruvo::Transport::PicoHttp::CreateHttpsClientProvider(
          io, hostname, static_cast<uint16_t>(number), certificates,
          std::make_shared<RuvoLoggerWrapper>(), limits);
   };
}

} // namespace Zarna
