// The preemptive attestation that a change of the attestation services schedules.
#include "apps/zarna/state/zarna_state.h"

namespace Zarna {

void ZarnaState::AttemptAttestation()
{
   // Choosing a token-less group and waiting on its attestation come with the
   // attestation orchestration. Whatever that does, the run ends by freeing the
   // pending slot, so that the next configuration change may schedule again.
   MXUser::WriteLockGuard guard(mStateLock);
   mAttemptAttestationItem.reset();
}

} // namespace Zarna
