// Attestation orchestration: one attestation at a time for the whole process,
// the token cache limit, the pool of TPM attestation states, the start-up fill
// and the preemptive attestation after a configuration change.
#include <algorithm>
#include <limits>

#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/state/attestation_record.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/hostlib/log.h"

namespace Zarna {

std::shared_ptr<Tirel::System::Clock> ZarnaState::Clock() const
{
   if (auto pool = Pool()) {
      if (auto clock = pool->GetClock()) {
         return clock;
      }
   }
   static auto steady = std::make_shared<Tirel::System::SteadyClock>();
   return steady;
}

void ZarnaState::WatchClockJumps(const std::shared_ptr<Tirel::System::Clock> &clock)
{
   std::call_once(mClockWatched, [&] {
      std::weak_ptr<ZarnaState> weak = weak_from_this();
      clock->AddJumpListener([weak] {
         if (auto self = weak.lock()) {
            // Under the lock, so that a waiter between its deadline test and its
            // wait cannot miss the jump.
            MXUser::ExclLockGuard guard(self->mCondVarLock);
            self->mCondVar.Broadcast();
         }
      });
   });
}

bool ZarnaState::WaitOnAttestation(const std::string &group, bool anyToken,
                                   Ruvo::Data::ErrorValuePtr &error)
{
   Log_Level(130, "Waiting for in-progress attestation\n");
   const std::shared_ptr<Tirel::System::Clock> clock = Clock();
   WatchClockJumps(clock);

   std::shared_ptr<AttestLib::Tpm2::AttestState> state;
   {
      MXUser::ExclLockGuard guard(mCondVarLock);
      const uint64_t deadline = clock->NowUs() + kAttestationWaitLimitUs;
      while (mAttestationInProgress) {
         const uint64_t now = clock->NowUs();
         if (now >= deadline) {
            error = MakeError(ErrorClass::Error, ErrorIds::kAttestTimeout);
            Log_Level(110, "Thread timed out waiting for attestation to complete\n");
            return false;
         }
         const uint64_t ms =
             std::clamp<uint64_t>((deadline - now) / 1000, 1, std::numeric_limits<uint32_t>::max());
         mCondVar.TimedWait(mCondVarLock, static_cast<uint32_t>(ms));
      }

      {
         MXUser::ReadLockGuard stateGuard(mStateLock);
         if (mNumTokens >= 1) {
            if (anyToken) {
               Log_Level(130, "Ongoing attestation resulted in a token\n");
               mCondVar.Signal();
               return true;
            }
            auto it = std::find_if(mGroupInfo.begin(), mGroupInfo.end(),
                                   [&](const auto &record) { return record->group == group; });
            // A group that holds the token is attested again: that is its refresh.
            if (it != mGroupInfo.end() && (*it)->token.empty()) {
               Log_Level(130, "Attestation not required; token cache limit reached\n");
               mCondVar.Signal();
               return false;
            }
         }
      }

      mAttestationInProgress = true;
      if (!mAttestStatePool.empty()) {
         state = std::move(mAttestStatePool.back());
         mAttestStatePool.pop_back();
      }
   }

   // Hands the state back and lets the next waiter in, however the handshake ends.
   struct Release {
      ZarnaState &self;
      std::shared_ptr<AttestLib::Tpm2::AttestState> &state;
      ~Release()
      {
         MXUser::ExclLockGuard guard(self.mCondVarLock);
         if (state) {
            self.mAttestStatePool.push_back(std::move(state));
         }
         self.mAttestationInProgress = false;
         self.mCondVar.Signal();
      }
   } release{*this, state};

   if (!state) {
      state = mOptions.attestStateFactory ? mOptions.attestStateFactory() : DefaultAttestState();
   }
   Log_Level(130, "Attestation about to begin\n");

   Log_Level(125, "Starting attestation handshake for group %s\n", group.c_str());
   const bool passed = FetchToken(group, state, error);
   Log_Level(125, "Attestation %s for group %s\n", passed ? "passed" : "failed", group.c_str());
   LogState();
   return passed;
}

bool ZarnaState::FetchToken(const std::string &group,
                            const std::shared_ptr<AttestLib::Tpm2::AttestState> &state,
                            Ruvo::Data::ErrorValuePtr &error)
{
   std::string hostname;
   uint32_t port = 0;
   std::vector<std::string> certificates;
   if (!GetAttestdInfo(group, hostname, port, certificates)) {
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestServicesNotConfigured);
      Log_Level(110, "Found no attestation servers configured for group %s\n", group.c_str());
      DeleteTokenForGroup(group);
      return false;
   }
   Log_Level(130, "Initiate attestd handshake %s:%d\n", hostname.c_str(), static_cast<int>(port));

   std::string token;
   const AttestHandshake &handshake =
       mOptions.handshake ? mOptions.handshake : DefaultAttestHandshake();
   handshake(hostname, port, certificates, state, token, error);
   if (error || token.empty()) {
      Log_Level(110, "Attestation handshake with %s:%d failed to yield a token\n", hostname.c_str(),
                static_cast<int>(port));
      if (!error) {
         error = MakeError(ErrorClass::Error, ErrorIds::kAttestUnexpectedResult);
      }
      DeleteTokenForGroup(group);
      RecordAttestationOutcome(group, false);
      return false;
   }
   bool accepted = AcceptToken(group, token, error);
   RecordAttestationOutcome(group, accepted);
   return accepted;
}

bool ZarnaState::PopulateTokens(Ruvo::Data::ErrorValuePtr &error)
{
   ServiceList services = ListAttestdServices(std::nullopt);
   if (services.empty()) {
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestServicesNotConfigured);
      Log_Level(110, "No configured attestd services\n");
      return false;
   }
   {
      MXUser::WriteLockGuard guard(mStateLock);
      for (const auto &service : services) {
         AddGroup(service->group);
      }
   }
   std::string group;
   {
      MXUser::ReadLockGuard guard(mStateLock);
      PickGroup(group);
   }
   if (WaitOnAttestation(group, false, error)) {
      Log_Level(130, "Startup: Added token from group %s to the cache\n", group.c_str());
      return true;
   }
   Log_Level(110, "Token/s could not be added to cache\n");
   return false;
}

void ZarnaState::AttemptAttestation()
{
   std::string group;
   bool picked = false;
   {
      MXUser::ReadLockGuard guard(mStateLock);
      if (mNumTokens >= 1) {
         Log_Level(130, "Already have %d tokens in the cache\n", mNumTokens);
      } else {
         picked = PickGroup(group);
      }
   }
   if (picked) {
      Log_Level(130, "Attempting to populate groupInfo with a token for group %s\n", group.c_str());
      Ruvo::Data::ErrorValuePtr ignored;
      WaitOnAttestation(group, false, ignored);
   }
   // Frees the pending slot, so that the next configuration change may schedule again.
   MXUser::WriteLockGuard guard(mStateLock);
   mAttemptAttestationItem.reset();
}

size_t ZarnaState::GetAttestStatePoolSize()
{
   MXUser::ExclLockGuard guard(mCondVarLock);
   return mAttestStatePool.size();
}

} // namespace Zarna
