#include "apps/zarna/state/zarna_state.h"

#include <set>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/zarna/state/config_store_keys.h"
#include "runtime/hostlib/hostinfo.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/mutex.h"
#include "runtime/hostlib/random.h"
#include "runtime/tirel/app.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

using Ths::Common::TirelRuvo::kOpIdKey;
using Ths::Common::TirelRuvo::SequenceOpIdGenerator;

namespace {

struct InstanceSlot {
   Hostlib::Mutex lock;
   std::shared_ptr<ZarnaState> instance ZARNA_GUARDED_BY(lock);
   ZarnaStateOptions options ZARNA_GUARDED_BY(lock);
};

InstanceSlot &Slot()
{
   // Destroyed at exit with the instance it holds.
   static InstanceSlot slot;
   return slot;
}

SequenceOpIdGenerator &LogStateOpIds()
{
   static SequenceOpIdGenerator generator("LogState");
   return generator;
}

const char *kAttestationDelayKey = "attestationDelaySec";

} // namespace

std::shared_ptr<ZarnaState> ZarnaState::GetInstance()
{
   InstanceSlot &slot = Slot();
   Hostlib::MutexLock guard(slot.lock);
   if (!slot.instance) {
      slot.instance = Create(slot.options);
   }
   return slot.instance;
}

std::shared_ptr<ZarnaState> ZarnaState::GetExistingInstance()
{
   InstanceSlot &slot = Slot();
   Hostlib::MutexLock guard(slot.lock);
   return slot.instance;
}

std::shared_ptr<ZarnaState> ZarnaState::Create(ZarnaStateOptions options)
{
   std::shared_ptr<ZarnaState> state(new ZarnaState(std::move(options)));
   state->Populate();
   return state;
}

void ZarnaState::SetInstanceOptionsForTesting(ZarnaStateOptions options)
{
   InstanceSlot &slot = Slot();
   Hostlib::MutexLock guard(slot.lock);
   slot.options = std::move(options);
   slot.instance.reset();
}

void ZarnaState::ResetInstanceForTesting()
{
   SetInstanceOptionsForTesting({});
}

ZarnaState::ZarnaState(ZarnaStateOptions options)
    : mOptions(std::move(options)),
      mFirewall(mOptions.firewall ? mOptions.firewall : MakeHostFirewall()),
      mAttestdServices(Com::Talvor::Brim::TrustedInfrastructure::kAttestationServicesKey,
                       mOptions.storeProvider),
      mZarndServices(Com::Talvor::Brim::TrustedInfrastructure::kKmsServicesKey,
                     mOptions.storeProvider)
{
}

ZarnaState::~ZarnaState()
{
   // Pending work holds only a weak reference; cancelling keeps the pool tidy.
   MXUser::WriteLockGuard guard(mStateLock);
   if (mAttemptAttestationItem) {
      mAttemptAttestationItem->Cancel();
   }
   if (mLogStateItem) {
      mLogStateItem->Cancel();
   }
}

void ZarnaState::Populate()
{
   MXUser::WriteLockGuard guard(mStateLock);
   for (ServiceTable *table : {&mAttestdServices, &mZarndServices}) {
      try {
         table->Populate();
      } catch (const BrimConfigStore::ConfigStoreException &e) {
         Log_Level(110, "ConfigStore exception during Populate(%s): %s\n", table->GetName().c_str(),
                   e.what());
         throw;
      }
   }
}

std::shared_ptr<Tirel::System::ThreadPool> ZarnaState::Pool() const
{
   if (mOptions.pool) {
      return mOptions.pool;
   }
   auto app = Tirel::Service::GetApp();
   return app ? app->GetThreadPool() : nullptr;
}

uint32_t ZarnaState::NextRandom()
{
   uint64_t current = mRandomState.load();
   uint64_t next;
   uint32_t value;
   do {
      next = current;
      value = Random_Fast(&next);
   } while (!mRandomState.compare_exchange_weak(current, next));
   return value;
}

void ZarnaState::Init()
{
   mRandomState.store(mOptions.randomSeed ? *mOptions.randomSeed : Hostinfo_SystemTimerNS());
   NextRandom();
   NextRandom();

   ScheduleLogState();

   // Names are resolved before the lock is taken, each hostname once however
   // many services share it; the firewall then changes once for all of them,
   // and loses whatever no configured service resolves to.
   std::vector<std::string> hostnames;
   {
      MXUser::ReadLockGuard guard(mStateLock);
      GetAllHostnames(hostnames);
   }
   std::map<std::string, std::vector<std::string>> resolved;
   for (const std::string &hostname : hostnames) {
      if (resolved.count(hostname) != 0) {
         continue;
      }
      std::vector<std::string> ips;
      if (mFirewall->Resolve(hostname, ips)) {
         resolved.emplace(hostname, std::move(ips));
      } else {
         Log_Level(110, "Error adding %s to firewall\n", hostname.c_str());
      }
   }
   {
      MXUser::WriteLockGuard guard(mStateLock);
      mHostAddresses = std::move(resolved);
      mFirewall->Open(AllowedAddressesLocked());
   }

   LoadConfig();
}

void ZarnaState::Shutdown()
{
   {
      // The pooled TPM states release what they keep loaded in the TPM.
      MXUser::ExclLockGuard poolGuard(mCondVarLock);
      mAttestStatePool.clear();
   }
   MXUser::WriteLockGuard guard(mStateLock);
   mShutdown = true;
   if (mAttemptAttestationItem) {
      mAttemptAttestationItem->Cancel();
      mAttemptAttestationItem.reset();
   }
   if (mLogStateItem) {
      mLogStateItem->Cancel();
      mLogStateItem.reset();
   }
   mFirewall->Close(AllowedAddressesLocked());
   mHostAddresses.clear();
}

std::vector<std::string> ZarnaState::AllowedAddressesLocked()
{
   std::set<std::string> seen;
   std::vector<std::string> all;
   for (const auto &[hostname, ips] : mHostAddresses) {
      for (const std::string &ip : ips) {
         if (seen.insert(ip).second) {
            all.push_back(ip);
         }
      }
   }
   return all;
}

void ZarnaState::LoadConfig()
{
   int32_t delaySec = kDefaultAttestationDelaySec;
   std::shared_ptr<Tirel::Service::Config> config = mOptions.config;
   if (!config) {
      auto app = Tirel::Service::GetApp();
      config = app ? app->GetConfig() : nullptr;
   }
   if (config) {
      config->GetSettings().GetInt(kAttestationDelayKey, delaySec);
   }
   if (delaySec < 0) {
      // A delay cannot be negative; such a value means "at once".
      delaySec = 0;
   }
   {
      MXUser::WriteLockGuard guard(mStateLock);
      mAttestationDelaySec = delaySec;
   }
   Log_Level(125, "Attestation delay after config change: %d seconds\n", delaySec);
}

void ZarnaState::ScheduleLogState()
{
   auto pool = Pool();
   if (!pool) {
      return;
   }
   std::weak_ptr<ZarnaState> weak = weak_from_this();
   MXUser::WriteLockGuard guard(mStateLock);
   if (mShutdown) {
      return;
   }
   mLogStateItem = pool->EnqueueAfter(kLogStatePeriodUs, [weak]() {
      if (auto self = weak.lock()) {
         self->RunLogStateItem();
      }
   });
}

void ZarnaState::RunLogStateItem()
{
   Tirel::Service::ScopedLogContext context(kOpIdKey, LogStateOpIds().Next());
   LogState();
   // The period runs from the end of one log to the start of the next.
   ScheduleLogState();
}

void ZarnaState::LogState()
{
   {
      MXUser::WriteLockGuard guard(mStateLock);
      mLogStateItem.reset();
   }
   MXUser::ReadLockGuard guard(mStateLock);
   for (const auto &record : mGroupInfo) {
      std::string hostname;
      uint32_t port = 0;
      std::vector<std::string> certificates;
      if (!GetAttestdInfoLocked(record->group, hostname, port, certificates)) {
         hostname.clear();
         port = 0;
      }
      Log_Level(125, "STATE: Group: %s; Hostname: %s; Port: %d; Token: %d\n", record->group.c_str(),
                hostname.c_str(), static_cast<int>(port), record->token.empty() ? 0 : 1);
   }
   Log_Level(125, "STATE: Total number of tokens: %d\n", mNumTokens);
}

int32_t ZarnaState::GetNumTokens()
{
   MXUser::ReadLockGuard guard(mStateLock);
   return mNumTokens;
}

int32_t ZarnaState::GetAttestationDelaySec()
{
   MXUser::ReadLockGuard guard(mStateLock);
   return mAttestationDelaySec;
}

bool ZarnaState::HasPendingAttemptAttestation()
{
   MXUser::ReadLockGuard guard(mStateLock);
   return mAttemptAttestationItem != nullptr;
}

bool ZarnaState::HasPendingLogState()
{
   MXUser::ReadLockGuard guard(mStateLock);
   return mLogStateItem != nullptr;
}

} // namespace Zarna
