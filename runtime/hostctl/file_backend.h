// Rulesets kept in a JSON state file, for development and tests without
// CAP_NET_ADMIN: the same behaviour as the nftables backend, nothing enforced.
//
//   {"version": 1,
//    "rulesets": {"<id>": {"enabled": false, "allowedAll": false,
//                          "ipv4": ["192.0.2.1"], "ipv6": ["2001:db8::1"]}}}
//
// Every change rewrites the file atomically (temporary file, fsync, rename,
// directory fsync), so a crash leaves the old or the new state, never a mix.
#pragma once

#include <string>

#include "runtime/hostctl/firewall_backend.h"
#include "runtime/hostlib/mutex.h"

namespace HykCtl::System {

class FileBackend : public FirewallBackend {
public:
   explicit FileBackend(std::string path) : mPath(std::move(path)) {}

   std::string Describe() const override { return "file:" + mPath; }
   RulesetState QueryRuleset(const std::string &rulesetId) override;
   void CreateRuleset(const std::string &rulesetId) override;
   void SetEnabled(const std::string &rulesetId, bool enabled) override;
   void SetAllowedAll(const std::string &rulesetId, bool allowedAll) override;
   void AddAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address) override;
   void RemoveAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address) override;
   // One read and at most one rewrite of the file.
   void ChangeAddresses(const std::string &rulesetId, const std::vector<HostCtl::Network::IpAddress> &add,
                        const std::vector<HostCtl::Network::IpAddress> &remove) override;

   // Deletes the temporary files ("<path>.XXXXXX") that a writer killed between
   // creating and renaming one left beside the state file. Only for start-up,
   // when no writer can be running; returns how many were removed.
   static int RemoveLeftoverTemporaries(const std::string &path);

private:
   struct State;

   State Read() const ZARNA_REQUIRES(mLock);
   void Write(const State &state) const ZARNA_REQUIRES(mLock);
   RulesetState &Existing(State &state, const std::string &rulesetId) const;

   const std::string mPath;
   // Serialises read-modify-write cycles of this process on the file.
   mutable Hostlib::Mutex mLock;
};

} // namespace HykCtl::System
