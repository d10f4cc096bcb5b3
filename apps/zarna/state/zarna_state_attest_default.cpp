// The production attestation: the attestation client over the host's TPM.
#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/hostlib/log.h"

namespace Zarna {

const AttestHandshake &DefaultAttestHandshake()
{
   static const AttestHandshake handshake =
       [](const std::string &, uint32_t, const std::vector<std::string> &,
          const std::shared_ptr<AttestLib::Tpm2::AttestState> &, std::string &token,
          Ruvo::Data::ErrorValuePtr &error) {
          token.clear();
          Log_Level(110, "No TPM2 device available\n");
          error = MakeError(ErrorClass::Error, ErrorIds::kAttestNoTpm2);
       };
   return handshake;
}

std::shared_ptr<AttestLib::Tpm2::AttestState> DefaultAttestState()
{
   return nullptr;
}

} // namespace Zarna
