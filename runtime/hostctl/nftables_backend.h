// Rulesets as nftables tables, changed by running `nft -j -f -` with one JSON
// transaction on standard input (the library is not linked). Per ruleset:
//
//   table inet <ruleset id>
//     set allowed-ipv4 { type ipv4_addr }   the allowed IPs, exact addresses
//     set allowed-ipv6 { type ipv6_addr }
//     chain confine                         oifname "lo" accept
//                                           [accept  comment "allow-all"]
//                                           ip daddr @allowed-ipv4 accept
//                                           ip6 daddr @allowed-ipv6 accept
//                                           counter reject  comment "confine"
//     chain output (only while enabled)     hook output, priority filter, policy accept
//                                           meta mark <agent mark> jump confine
//
// So an enabled ruleset confines the sockets marked as the agent's and nothing else.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "runtime/hostctl/command_runner.h"
#include "runtime/hostctl/firewall_backend.h"

namespace HykCtl::System {

class NftablesBackend : public FirewallBackend {
public:
   // The nft program is looked up in the system directories, never via PATH.
   NftablesBackend();
   NftablesBackend(std::shared_ptr<HostCtl::Lib::CommandRunner> runner, std::string nftPath);

   std::string Describe() const override { return "nftables"; }
   RulesetState QueryRuleset(const std::string &rulesetId) override;
   void CreateRuleset(const std::string &rulesetId) override;
   void SetEnabled(const std::string &rulesetId, bool enabled) override;
   void SetAllowedAll(const std::string &rulesetId, bool allowedAll) override;
   void AddAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address) override;
   void RemoveAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address) override;
   // One listing, then one transaction (none when nothing changes).
   void ChangeAddresses(const std::string &rulesetId, const std::vector<HostCtl::Network::IpAddress> &add,
                        const std::vector<HostCtl::Network::IpAddress> &remove) override;

   // Reads the state of one ruleset from `nft -j` list output.
   static RulesetState ParseListing(const std::string &rulesetId, const nlohmann::json &listing);

private:
   // Runs one transaction; returns stdout. HostCtlException with nft's error
   // output when it fails.
   std::string RunNft(const nlohmann::json &commands, const std::string &what);
   bool TableExists(const std::string &rulesetId);

   std::shared_ptr<HostCtl::Lib::CommandRunner> mRunner;
   std::string mNftPath;
};

} // namespace HykCtl::System
