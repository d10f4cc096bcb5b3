// The configured services: insert, delete, lookup and listing, with the firewall
// allow-list kept in step.
#include <algorithm>
#include <set>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/trusted-host-services/common/sslUtils.h"
#include "apps/zarna/state/pem_markers.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/hostlib/log.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

using Ths::Common::TirelRuvo::kOpIdKey;
using Ths::Common::TirelRuvo::SequenceOpIdGenerator;

namespace {

SequenceOpIdGenerator &OpIdGenerator(const char *name)
{
   // One generator per kind of scheduling change, kept to process exit.
   static SequenceOpIdGenerator insertIds("InsertAttestdInfo");
   static SequenceOpIdGenerator deleteIds("DeleteAttestdInfo");
   return std::string(name) == "InsertAttestdInfo" ? insertIds : deleteIds;
}

} // namespace

ServiceResult ZarnaState::InsertAttestdInfo(const std::shared_ptr<const NetworkAddress> &address,
                                            const std::shared_ptr<const X509CertChain> &certChain,
                                            const std::string &group, std::string &instanceId)
{
   return Insert(Kind::Attestd, address, certChain, group, instanceId);
}

ServiceResult ZarnaState::InsertZarndInfo(const std::shared_ptr<const NetworkAddress> &address,
                                          const std::shared_ptr<const X509CertChain> &certChain,
                                          const std::string &group, std::string &instanceId)
{
   return Insert(Kind::Zarnd, address, certChain, group, instanceId);
}

ServiceResult ZarnaState::DeleteAttestdInfo(const std::string &instanceId)
{
   return Delete(Kind::Attestd, instanceId);
}

ServiceResult ZarnaState::DeleteZarndInfo(const std::string &instanceId)
{
   return Delete(Kind::Zarnd, instanceId);
}

ServiceResult ZarnaState::Insert(Kind kind, const std::shared_ptr<const NetworkAddress> &address,
                                 const std::shared_ptr<const X509CertChain> &certChain,
                                 const std::string &group, std::string &instanceId)
{
   if (!address) {
      Panic("VERIFY %s:%d\n", __FILE__, __LINE__);
   }
   auto chain = certChain ? certChain : std::make_shared<const X509CertChain>();
   const bool attestd = kind == Kind::Attestd;
   const std::string &hostname = address->hostname;
   auto logAddError = [&] {
      Log_Level(110,
                attestd ? "Error adding attestd service hostname %s to firewall\n"
                        : "Error adding zarnd service hostname %s to firewall\n",
                hostname.c_str());
   };

   // Name resolution and certificate checks need no state, so readers are not
   // kept waiting behind them.
   std::vector<std::string> ips;
   if (!mFirewall->Resolve(hostname, ips)) {
      logAddError();
      return ServiceResult::FirewallFailure;
   }
   ServiceResult certificates = ServiceTable::ValidateCertificates(hostname, *chain);

   MXUser::WriteLockGuard guard(mStateLock);
   ServiceTable &table = Table(kind);
   // Everything that can refuse the insert is asked before the firewall changes.
   ServiceResult result = table.CheckConflicts(*address, group);
   if (result == ServiceResult::Ok) {
      result = certificates;
   }
   if (result != ServiceResult::Ok) {
      return result;
   }
   // Allowed before the service is stored, so that it is reachable once listed.
   std::vector<std::string> added;
   if (!mFirewall->Allow(hostname, ips, added)) {
      logAddError();
      return ServiceResult::FirewallFailure;
   }

   result = table.Store(address, chain, group, instanceId);
   if (result != ServiceResult::Ok) {
      // Only what this insert added: an address that was allowed before belongs
      // to a service that still needs it, whatever its hostname.
      if (!added.empty() && !mFirewall->Disallow(hostname, added)) {
         Log_Level(110,
                   attestd ? "Error removing attestd service hostname %s from firewall\n"
                           : "Error removing zarnd service hostname %s from firewall\n",
                   hostname.c_str());
      }
      return result;
   }

   std::vector<std::string> &known = mHostAddresses[hostname];
   for (const std::string &ip : ips) {
      if (std::find(known.begin(), known.end(), ip) == known.end()) {
         known.push_back(ip);
      }
   }
   AddGroup(group);
   if (attestd) {
      SchedulePreemptiveAttestation(
          "Scheduling a preemptive attestation while inserting an attestation service\n",
          "InsertAttestdInfo");
   }
   return result;
}

ServiceResult ZarnaState::Delete(Kind kind, const std::string &instanceId)
{
   const bool attestd = kind == Kind::Attestd;
   MXUser::WriteLockGuard guard(mStateLock);

   std::shared_ptr<const ServiceInfo> record = Table(kind).Find(instanceId);
   if (!record) {
      Log_Level(110, "No configured services with instance id %s\n", instanceId.c_str());
      return ServiceResult::NotFound;
   }
   if (attestd) {
      Log_Level(130, "Found group %s for attestd instanceId %s\n", record->group.c_str(),
                instanceId.c_str());
   }

   // The store first: if it refuses, memory still agrees with it.
   try {
      Table(kind).Delete(instanceId);
   } catch (const BrimConfigStore::ConfigStoreException &e) {
      Log_Level(110, "ConfigStore Exception during Delete(%s): %s\n", instanceId.c_str(), e.what());
      return ServiceResult::ConfigStoreFailure;
   }

   if (RemoveGroupLocked(record->group) && attestd) {
      SchedulePreemptiveAttestation(
          "Scheduling a preemptive attestation while deleting an attestation service\n",
          "DeleteAttestdInfo");
   }

   const std::string &hostname = record->address->hostname;
   if (std::optional<Kind> user = KindUsingHostname(hostname)) {
      Log_Level(130,
                *user == Kind::Zarnd
                    ? "Key Provider Service still configured. Not removing %s from firewall.\n"
                    : "Attestd service still configured. Not removing %s from firewall.\n",
                hostname.c_str());
   } else {
      ReleaseHostLocked(hostname);
   }
   return ServiceResult::Ok;
}

void ZarnaState::ReleaseHostLocked(const std::string &hostname)
{
   auto it = mHostAddresses.find(hostname);
   if (it == mHostAddresses.end()) {
      return; // never resolved, so never allowed
   }
   std::vector<std::string> ips = std::move(it->second);
   mHostAddresses.erase(it);
   // Another hostname may resolve to the same address ("localhost" and
   // "127.0.0.1"); its service still needs it.
   std::set<std::string> shared;
   for (const auto &[other, otherIps] : mHostAddresses) {
      shared.insert(otherIps.begin(), otherIps.end());
   }
   std::vector<std::string> release;
   for (const std::string &ip : ips) {
      if (shared.count(ip) == 0) {
         release.push_back(ip);
      }
   }
   if (!release.empty() && !mFirewall->Disallow(hostname, release)) {
      Log_Level(110, "Error removing hostname %s from firewall\n", hostname.c_str());
   }
}

void ZarnaState::SchedulePreemptiveAttestation(const char *reason, const char *opIdName)
{
   if (mNumTokens > 0 || mAttemptAttestationItem) {
      return;
   }
   Log_Level(130, "%s", reason);
   auto pool = Pool();
   if (!pool) {
      return;
   }
   std::weak_ptr<ZarnaState> weak = weak_from_this();
   SequenceOpIdGenerator *opIds = &OpIdGenerator(opIdName);
   uint64_t delayUs = static_cast<uint64_t>(mAttestationDelaySec) * 1000000;
   mAttemptAttestationItem = pool->EnqueueAfter(delayUs, [weak, opIds]() {
      if (auto self = weak.lock()) {
         Tirel::Service::ScopedLogContext context(kOpIdKey, opIds->Next());
         self->AttemptAttestation();
      }
   });
}

std::optional<ZarnaState::Kind> ZarnaState::KindUsingHostname(const std::string &hostname)
{
   for (Kind kind : {Kind::Zarnd, Kind::Attestd}) {
      const auto &entries = Table(kind).GetEntries();
      if (std::any_of(entries.begin(), entries.end(), [&](const auto &entry) {
             return entry.second->address->hostname == hostname;
          })) {
         return kind;
      }
   }
   return std::nullopt;
}

ServiceResult ZarnaState::GetAttestdService(const std::string &instanceId,
                                            std::shared_ptr<const ServiceInfo> &record)
{
   MXUser::ReadLockGuard guard(mStateLock);
   return GetServiceLocked(Kind::Attestd, instanceId, record);
}

ServiceResult ZarnaState::GetZarndService(const std::string &instanceId,
                                          std::shared_ptr<const ServiceInfo> &record)
{
   MXUser::ReadLockGuard guard(mStateLock);
   return GetServiceLocked(Kind::Zarnd, instanceId, record);
}

ServiceResult ZarnaState::GetServiceLocked(Kind kind, const std::string &instanceId,
                                           std::shared_ptr<const ServiceInfo> &record)
{
   std::shared_ptr<const ServiceInfo> stored = Table(kind).Find(instanceId);
   if (!stored) {
      return ServiceResult::NotFound;
   }
   auto chain = std::make_shared<X509CertChain>();
   for (const std::string &cert : stored->certChain->certs) {
      std::string standardized = cert;
      if (Ths::Common::SslUtils::StandardizeCertificate(kPemCertBegin, kPemCertEnd, standardized)) {
         Log_Level(130, "Standardized Certificate:\n");
         Log_Level(130, "%s\n", standardized.c_str());
         chain->certs.push_back(std::move(standardized));
      } else {
         Log_Level(110, "Could not standardize the certificate for %s\n",
                   stored->address->hostname.c_str());
         chain->certs.push_back(cert);
      }
   }
   auto info = std::make_shared<ServiceInfo>();
   info->address = stored->address;
   info->certChain = std::move(chain);
   info->group = stored->group;
   record = std::move(info);
   return ServiceResult::Ok;
}

ZarnaState::ServiceList ZarnaState::ListAttestdServices(const std::optional<ServiceFilter> &filter)
{
   MXUser::ReadLockGuard guard(mStateLock);
   return ListLocked(Kind::Attestd, filter);
}

ZarnaState::ServiceList ZarnaState::ListZarndServices(const std::optional<ServiceFilter> &filter)
{
   MXUser::ReadLockGuard guard(mStateLock);
   return ListLocked(Kind::Zarnd, filter);
}

ZarnaState::ServiceList ZarnaState::ListLocked(Kind kind,
                                               const std::optional<ServiceFilter> &filter)
{
   const ServiceTable::Summaries &all = Table(kind).GetSummaries();
   if (!filter) {
      return all;
   }
   ServiceList list;
   for (const auto &summary : all) {
      if (FilterAccepts(*filter, *summary)) {
         list.push_back(summary);
      }
   }
   return list;
}

bool ZarnaState::GetAttestdInfo(const std::string &group, std::string &hostname, uint32_t &port,
                                std::vector<std::string> &certificates)
{
   MXUser::ReadLockGuard guard(mStateLock);
   return GetInfoLocked(Kind::Attestd, group, hostname, port, certificates);
}

bool ZarnaState::GetZarndInfo(const std::string &group, std::string &hostname, uint32_t &port,
                              std::vector<std::string> &certificates)
{
   MXUser::ReadLockGuard guard(mStateLock);
   return GetInfoLocked(Kind::Zarnd, group, hostname, port, certificates);
}

bool ZarnaState::GetAttestdInfoLocked(const std::string &group, std::string &hostname,
                                      uint32_t &port, std::vector<std::string> &certificates)
{
   return GetInfoLocked(Kind::Attestd, group, hostname, port, certificates);
}

bool ZarnaState::GetZarndInfoLocked(const std::string &group, std::string &hostname, uint32_t &port,
                                    std::vector<std::string> &certificates)
{
   return GetInfoLocked(Kind::Zarnd, group, hostname, port, certificates);
}

bool ZarnaState::GetInfoLocked(Kind kind, const std::string &group, std::string &hostname,
                               uint32_t &port, std::vector<std::string> &certificates)
{
   ServiceFilter filter;
   filter.groups = std::set<std::string>{group};
   ServiceList list = ListLocked(kind, filter);
   if (list.empty()) {
      Log_Level(110, "No configured servers found for group %s\n", group.c_str());
      return false;
   }
   const ServiceSummary &first = *list.front();
   hostname = first.address->hostname;
   // Ports are checked to 0..65535 where services are created.
   port = static_cast<uint32_t>(EffectivePort(*first.address));
   std::shared_ptr<const ServiceInfo> record;
   if (GetServiceLocked(kind, first.instanceId, record) != ServiceResult::Ok) {
      return false;
   }
   certificates = record->certChain->certs;
   return true;
}

void ZarnaState::GetAttestdHostnames(std::vector<std::string> &hostnames)
{
   for (const auto &[id, info] : mAttestdServices.GetEntries()) {
      hostnames.push_back(info->address->hostname);
   }
}

void ZarnaState::GetZarndHostnames(std::vector<std::string> &hostnames)
{
   for (const auto &[id, info] : mZarndServices.GetEntries()) {
      hostnames.push_back(info->address->hostname);
   }
}

void ZarnaState::GetAllHostnames(std::vector<std::string> &hostnames)
{
   GetZarndHostnames(hostnames);
   std::vector<std::string> attestd;
   GetAttestdHostnames(attestd);
   for (std::string &hostname : attestd) {
      if (std::find(hostnames.begin(), hostnames.end(), hostname) == hostnames.end()) {
         hostnames.push_back(std::move(hostname));
      }
   }
}

} // namespace Zarna
