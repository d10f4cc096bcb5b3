// The agent's trust state: the trust groups with their tokens, the configured
// attestation and key provider services (persisted in the configuration store),
// and the host firewall allow-list kept in step with those services.
//
// One instance per process, reached through GetInstance. Tests build their own
// instances with Create, or replace what GetInstance builds with
// SetInstanceOptionsForTesting / ResetInstanceForTesting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apps/zarna/state/firewall_control.h"
#include "apps/zarna/state/service_table.h"
#include "apps/zarna/state/service_types.h"
#include "runtime/hostlib/userlockpp.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/tirel/config.h"
#include "runtime/tirel/items.h"
#include "runtime/tirel/thread_pool.h"

namespace AttestLib::Tpm2 {
class AttestState;
}

namespace Zarna {

// One trust group.
struct ZarnaStateInfo {
   std::string group;
   std::string token; // empty: the group holds no token
   // The pending refresh of the token; dropping the reference does not cancel it.
   std::shared_ptr<Tirel::System::ScheduledItem> refreshItem;
};

// What the state stands on. Anything left empty is the production default: the
// application's thread pool and configuration, the host configuration store and
// the host firewall.
// One attestation handshake with a service (host, port, trusted certificates)
// using a TPM attestation state: on return either the token is set or the error.
using AttestHandshake = std::function<void(
    const std::string &host, uint32_t port, const std::vector<std::string> &certificates,
    const std::shared_ptr<AttestLib::Tpm2::AttestState> &state, std::string &token,
    Ruvo::Data::ErrorValuePtr &error)>;
using AttestStateFactory = std::function<std::shared_ptr<AttestLib::Tpm2::AttestState>()>;

// The production handshake (the attestation client over the host TPM) and TPM state.
const AttestHandshake &DefaultAttestHandshake();
std::shared_ptr<AttestLib::Tpm2::AttestState> DefaultAttestState();

struct ZarnaStateOptions {
   std::shared_ptr<Tirel::System::ThreadPool> pool;
   std::shared_ptr<Tirel::Service::Config> config;
   ServiceTable::StoreProvider storeProvider;
   std::shared_ptr<FirewallControl> firewall;
   std::optional<uint64_t> randomSeed; // default: the monotonic timer at Init
   // Default: the attestation client over the host's TPM.
   AttestHandshake handshake;
   AttestStateFactory attestStateFactory;
};

inline constexpr MX_Rank kStateLockRank = 0xff000000;
inline constexpr MX_Rank kCondVarLockRank = 0xfeffffff;
inline constexpr int32_t kDefaultAttestationDelaySec = 20;
inline constexpr uint64_t kLogStatePeriodUs = 600000000;
// How long a caller waits for another thread's attestation.
inline constexpr uint64_t kAttestationWaitLimitUs = 140000000;
// A token is refreshed this long before it expires.
inline constexpr int64_t kTokenRefreshLeadSec = 1800;

class ZarnaState : public std::enable_shared_from_this<ZarnaState> {
public:
   enum class Kind { Attestd, Zarnd };
   using ServiceList = std::vector<std::shared_ptr<const ServiceSummary>>;

   // Built on the first call; a store failure while loading throws
   // BrimConfigStore::ConfigStoreException and the next call tries again.
   static std::shared_ptr<ZarnaState> GetInstance();
   // The instance if one was built; never builds (for error paths, where a
   // second load would only fail and log again).
   static std::shared_ptr<ZarnaState> GetExistingInstance();
   // A state of its own, loaded from the store; throws as GetInstance.
   static std::shared_ptr<ZarnaState> Create(ZarnaStateOptions options);
   // What the next GetInstance builds with; drops the current instance.
   static void SetInstanceOptionsForTesting(ZarnaStateOptions options);
   static void ResetInstanceForTesting();

   ~ZarnaState();
   ZarnaState(const ZarnaState &) = delete;
   ZarnaState &operator=(const ZarnaState &) = delete;

   // Start-up: random state, state log, firewall opened for every configured host,
   // configuration.
   void Init() ZARNA_EXCLUDES(mStateLock);
   // Orderly stop: scheduled items cancelled, firewall closed.
   void Shutdown() ZARNA_EXCLUDES(mStateLock);
   void LoadConfig() ZARNA_EXCLUDES(mStateLock);
   void ScheduleLogState() ZARNA_EXCLUDES(mStateLock);
   void LogState() ZARNA_EXCLUDES(mStateLock);

   void AddGroup(const std::string &group) ZARNA_REQUIRES(mStateLock);
   // A random group without token; false (output untouched) when there is none.
   bool PickGroup(std::string &group) ZARNA_REQUIRES_SHARED(mStateLock);
   bool AddTokenForGroup(const std::string &group, const std::string &token,
                         std::shared_ptr<Tirel::System::ScheduledItem> refreshItem)
       ZARNA_EXCLUDES(mStateLock);
   void DeleteTokenForGroup(const std::string &group) ZARNA_EXCLUDES(mStateLock);
   // Copies of the group records (no refresh items); `error` is set when there is none.
   void GetGroups(Ruvo::Data::ErrorValuePtr &error, std::vector<ZarnaStateInfo> &groups)
       ZARNA_EXCLUDES(mStateLock);

   ServiceResult InsertAttestdInfo(const std::shared_ptr<const NetworkAddress> &address,
                                   const std::shared_ptr<const X509CertChain> &certChain,
                                   const std::string &group, std::string &instanceId)
       ZARNA_EXCLUDES(mStateLock);
   ServiceResult InsertZarndInfo(const std::shared_ptr<const NetworkAddress> &address,
                                 const std::shared_ptr<const X509CertChain> &certChain,
                                 const std::string &group, std::string &instanceId)
       ZARNA_EXCLUDES(mStateLock);
   ServiceResult DeleteAttestdInfo(const std::string &instanceId) ZARNA_EXCLUDES(mStateLock);
   ServiceResult DeleteZarndInfo(const std::string &instanceId) ZARNA_EXCLUDES(mStateLock);

   // Ok with the record (certificates standardized where possible) or NotFound.
   ServiceResult GetAttestdService(const std::string &instanceId,
                                   std::shared_ptr<const ServiceInfo> &record)
       ZARNA_EXCLUDES(mStateLock);
   ServiceResult GetZarndService(const std::string &instanceId,
                                 std::shared_ptr<const ServiceInfo> &record)
       ZARNA_EXCLUDES(mStateLock);
   ServiceList ListAttestdServices(const std::optional<ServiceFilter> &filter)
       ZARNA_EXCLUDES(mStateLock);
   ServiceList ListZarndServices(const std::optional<ServiceFilter> &filter)
       ZARNA_EXCLUDES(mStateLock);

   // The service of a group: hostname, port (443 when none), certificates.
   bool GetAttestdInfo(const std::string &group, std::string &hostname, uint32_t &port,
                       std::vector<std::string> &certificates) ZARNA_EXCLUDES(mStateLock);
   bool GetZarndInfo(const std::string &group, std::string &hostname, uint32_t &port,
                     std::vector<std::string> &certificates) ZARNA_EXCLUDES(mStateLock);
   bool GetAttestdInfoLocked(const std::string &group, std::string &hostname, uint32_t &port,
                             std::vector<std::string> &certificates)
       ZARNA_REQUIRES_SHARED(mStateLock);
   bool GetZarndInfoLocked(const std::string &group, std::string &hostname, uint32_t &port,
                           std::vector<std::string> &certificates)
       ZARNA_REQUIRES_SHARED(mStateLock);

   void GetAttestdHostnames(std::vector<std::string> &hostnames) ZARNA_REQUIRES_SHARED(mStateLock);
   void GetZarndHostnames(std::vector<std::string> &hostnames) ZARNA_REQUIRES_SHARED(mStateLock);
   // Key provider hostnames, then each attestation hostname not yet listed.
   void GetAllHostnames(std::vector<std::string> &hostnames) ZARNA_REQUIRES_SHARED(mStateLock);

   // The preemptive attestation scheduled after a change of the attestation services.
   void AttemptAttestation() ZARNA_EXCLUDES(mStateLock);
   // Serialises attestations: waits for a running one (at most 140 s), then
   // attests `group` unless the token cache limit says otherwise. With `anyToken`
   // a token of any group satisfies the caller. True when a token was obtained
   // (or, with `anyToken`, is held).
   bool WaitOnAttestation(const std::string &group, bool anyToken, Ruvo::Data::ErrorValuePtr &error)
       ZARNA_EXCLUDES(mStateLock, mCondVarLock);
   // The first attestation at start-up, for a random group.
   bool PopulateTokens(Ruvo::Data::ErrorValuePtr &error) ZARNA_EXCLUDES(mStateLock, mCondVarLock);
   // One handshake with the group's attestation service; stores the token and
   // schedules its refresh. Called by WaitOnAttestation only.
   bool FetchToken(const std::string &group,
                   const std::shared_ptr<AttestLib::Tpm2::AttestState> &state,
                   Ruvo::Data::ErrorValuePtr &error) ZARNA_EXCLUDES(mStateLock);
   // Reads the token's expiry and schedules its refresh (1800 s before expiry, or
   // at expiry when less remains).
   bool ScheduleTokenRefresh(const std::string &group, const std::string &token,
                             std::shared_ptr<Tirel::System::ScheduledItem> &refreshItem)
       ZARNA_EXCLUDES(mStateLock);
   // Number of attestation states waiting in the pool.
   size_t GetAttestStatePoolSize() ZARNA_EXCLUDES(mCondVarLock);

   // For tests and diagnostics.
   int32_t GetNumTokens() ZARNA_EXCLUDES(mStateLock);
   int32_t GetAttestationDelaySec() ZARNA_EXCLUDES(mStateLock);
   bool HasPendingAttemptAttestation() ZARNA_EXCLUDES(mStateLock);
   bool HasPendingLogState() ZARNA_EXCLUDES(mStateLock);

   MXUser::RWLock &StateLock() ZARNA_RETURN_CAPABILITY(mStateLock) { return mStateLock; }

private:
   explicit ZarnaState(ZarnaStateOptions options);

   // Loads both tables; logs and rethrows a store failure.
   void Populate();

   std::shared_ptr<Tirel::System::ThreadPool> Pool() const;
   ServiceTable &Table(Kind kind) ZARNA_REQUIRES_SHARED(mStateLock)
   {
      return kind == Kind::Attestd ? mAttestdServices : mZarndServices;
   }
   ServiceResult Insert(Kind kind, const std::shared_ptr<const NetworkAddress> &address,
                        const std::shared_ptr<const X509CertChain> &certChain,
                        const std::string &group, std::string &instanceId)
       ZARNA_EXCLUDES(mStateLock);
   ServiceResult Delete(Kind kind, const std::string &instanceId) ZARNA_EXCLUDES(mStateLock);
   ServiceResult GetServiceLocked(Kind kind, const std::string &instanceId,
                                  std::shared_ptr<const ServiceInfo> &record)
       ZARNA_REQUIRES_SHARED(mStateLock);
   ServiceList ListLocked(Kind kind, const std::optional<ServiceFilter> &filter)
       ZARNA_REQUIRES_SHARED(mStateLock);
   bool GetInfoLocked(Kind kind, const std::string &group, std::string &hostname, uint32_t &port,
                      std::vector<std::string> &certificates) ZARNA_REQUIRES_SHARED(mStateLock);
   // The kind of a remaining service that uses this hostname text, if any.
   std::optional<Kind> KindUsingHostname(const std::string &hostname)
       ZARNA_REQUIRES_SHARED(mStateLock);
   // Every address allowed for a configured hostname, without repeats.
   std::vector<std::string> AllowedAddressesLocked() ZARNA_REQUIRES_SHARED(mStateLock);
   // After `hostname` lost its last service: disallows its addresses that no
   // other configured hostname resolved to.
   void ReleaseHostLocked(const std::string &hostname) ZARNA_REQUIRES(mStateLock);
   // Removes the group's record, counting off its token; false when there was none.
   bool RemoveGroupLocked(const std::string &group) ZARNA_REQUIRES(mStateLock);
   void SchedulePreemptiveAttestation(const char *reason, const char *opIdName)
       ZARNA_REQUIRES(mStateLock);
   void RunLogStateItem() ZARNA_EXCLUDES(mStateLock);
   std::shared_ptr<Tirel::System::Clock> Clock() const;
   // Lets a manual clock's jump end the waits on mCondVar.
   void WatchClockJumps(const std::shared_ptr<Tirel::System::Clock> &clock);
   // The end of a handshake that yielded a token: refresh scheduled, token stored.
   bool AcceptToken(const std::string &group, const std::string &token,
                    Ruvo::Data::ErrorValuePtr &error) ZARNA_EXCLUDES(mStateLock);
   void RunTokenRefresh(const std::string &group) ZARNA_EXCLUDES(mStateLock, mCondVarLock);
   uint32_t NextRandom();

   const ZarnaStateOptions mOptions;
   const std::shared_ptr<FirewallControl> mFirewall;

   MXUser::RWLock mStateLock{"zarna-state-lock", kStateLockRank};
   // Serialises attestations; taken before mStateLock where both are held.
   MXUser::ExclLock mCondVarLock ZARNA_ACQUIRED_BEFORE(mStateLock){"zarna-condVarLock",
                                                                   kCondVarLockRank};
   MXUser::CondVar mCondVar{mCondVarLock};

   std::vector<std::shared_ptr<ZarnaStateInfo>> mGroupInfo ZARNA_GUARDED_BY(mStateLock);
   std::vector<std::shared_ptr<AttestLib::Tpm2::AttestState>>
       mAttestStatePool ZARNA_GUARDED_BY(mCondVarLock);
   // Set while one thread runs a handshake; attestations never overlap.
   bool mAttestationInProgress ZARNA_GUARDED_BY(mCondVarLock) = false;
   std::once_flag mClockWatched;
   int32_t mNumTokens ZARNA_GUARDED_BY(mStateLock) = 0;
   int32_t mAttestationDelaySec ZARNA_GUARDED_BY(mStateLock) = kDefaultAttestationDelaySec;
   ServiceTable mAttestdServices ZARNA_GUARDED_BY(mStateLock);
   ServiceTable mZarndServices ZARNA_GUARDED_BY(mStateLock);
   // The addresses allowed for each configured hostname, as resolved when it was
   // allowed: what a delete takes back, and what another hostname may share.
   std::map<std::string, std::vector<std::string>> mHostAddresses ZARNA_GUARDED_BY(mStateLock);
   // Advanced atomically, so that PickGroup may run under the read lock.
   std::atomic<uint64_t> mRandomState{0};
   std::shared_ptr<Tirel::System::ScheduledItem>
       mAttemptAttestationItem ZARNA_GUARDED_BY(mStateLock);
   std::shared_ptr<Tirel::System::ScheduledItem> mLogStateItem ZARNA_GUARDED_BY(mStateLock);
   // Set by Shutdown: no more state logs are scheduled.
   bool mShutdown ZARNA_GUARDED_BY(mStateLock) = false;
};

} // namespace Zarna
