// A firewall for tests: hostnames resolve to made-up addresses, the allow-list is
// a set of address texts, and any host can be made unresolvable or failing.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "apps/zarna/state/firewall_control.h"

namespace ZarnaTesting {

class FakeFirewall : public Zarna::FirewallControl {
public:
   // Hosts without an explicit resolution get one documentation address each.
   void SetResolution(const std::string &hostname, std::vector<std::string> addresses)
   {
      std::lock_guard<std::mutex> guard(mLock);
      mResolution[hostname] = std::move(addresses);
   }
   void SetUnresolvable(const std::string &hostname)
   {
      std::lock_guard<std::mutex> guard(mLock);
      mUnresolvable.insert(hostname);
   }
   void FailRemove(const std::string &hostname)
   {
      std::lock_guard<std::mutex> guard(mLock);
      mFailRemove.insert(hostname);
   }

   // Every change fails from now on (resolution still works).
   void FailChanges(bool fail)
   {
      std::lock_guard<std::mutex> guard(mLock);
      mFailChanges = fail;
   }
   // An address left allowed by someone else (or by a crash).
   void PreAllow(const std::string &ip)
   {
      std::lock_guard<std::mutex> guard(mLock);
      mAllowed.insert(ip);
   }

   bool Resolve(const std::string &hostname, std::vector<std::string> &ips) override
   {
      std::lock_guard<std::mutex> guard(mLock);
      mCalls.push_back("resolve " + hostname);
      if (mUnresolvable.count(hostname) != 0) {
         return false;
      }
      ips = ResolveLocked(hostname);
      return true;
   }
   bool Allow(const std::string &hostname, const std::vector<std::string> &ips,
              std::vector<std::string> &added) override
   {
      std::lock_guard<std::mutex> guard(mLock);
      mCalls.push_back("add " + hostname);
      ++mChanges;
      added.clear();
      if (mFailChanges) {
         return false;
      }
      for (const std::string &ip : ips) {
         if (mAllowed.insert(ip).second) {
            added.push_back(ip);
         }
      }
      return true;
   }
   bool Disallow(const std::string &hostname, const std::vector<std::string> &ips) override
   {
      std::lock_guard<std::mutex> guard(mLock);
      mCalls.push_back("remove " + hostname);
      ++mChanges;
      if (mFailChanges || mFailRemove.count(hostname) != 0) {
         return false;
      }
      for (const std::string &ip : ips) {
         mAllowed.erase(ip);
      }
      return true;
   }
   void Open(const std::vector<std::string> &ips) override
   {
      std::lock_guard<std::mutex> guard(mLock);
      ++mChanges;
      mEnabled = true;
      mAllowed = std::set<std::string>(ips.begin(), ips.end());
   }
   void Close(const std::vector<std::string> &ips) override
   {
      std::lock_guard<std::mutex> guard(mLock);
      ++mChanges;
      for (const std::string &ip : ips) {
         mAllowed.erase(ip);
      }
      mEnabled = false;
   }
   // How many changes (allow, disallow, open, close) were asked for.
   int Changes() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return mChanges;
   }

   std::set<std::string> Allowed() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return mAllowed;
   }
   // The addresses that these hostnames resolve to.
   std::set<std::string> AddressesOf(const std::vector<std::string> &hostnames)
   {
      std::lock_guard<std::mutex> guard(mLock);
      std::set<std::string> all;
      for (const std::string &hostname : hostnames) {
         for (const std::string &ip : ResolveLocked(hostname)) {
            all.insert(ip);
         }
      }
      return all;
   }
   bool Enabled() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return mEnabled;
   }
   // The per-host calls (resolve, add, remove), in order.
   std::vector<std::string> Calls() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return mCalls;
   }

private:
   const std::vector<std::string> &ResolveLocked(const std::string &hostname)
   {
      auto it = mResolution.find(hostname);
      if (it == mResolution.end()) {
         std::string ip = "2001:db8::" + std::to_string(++mNextAddress);
         it = mResolution.emplace(hostname, std::vector<std::string>{ip}).first;
      }
      return it->second;
   }

   mutable std::mutex mLock;
   std::map<std::string, std::vector<std::string>> mResolution;
   std::set<std::string> mUnresolvable;
   std::set<std::string> mFailRemove;
   std::set<std::string> mAllowed;
   std::vector<std::string> mCalls;
   bool mEnabled = false;
   bool mFailChanges = false;
   int mChanges = 0;
   int mNextAddress = 0;
};

} // namespace ZarnaTesting
