// The production attestation: the attestation client over the host's TPM.
#include "apps/zarna/attest/attest_client.h"
#include "apps/zarna/state/zarna_state.h"

namespace Zarna {

const AttestHandshake &DefaultAttestHandshake()
{
   static const AttestHandshake handshake =
       [](const std::string &host, uint32_t port, const std::vector<std::string> &certificates,
          const std::shared_ptr<AttestLib::Tpm2::AttestState> &state, std::string &token,
          Ruvo::Data::ErrorValuePtr &error) {
          AttestClient client(host, std::to_string(port), certificates, state);
          client.GetKmsAuthJwt(token, error);
       };
   return handshake;
}

std::shared_ptr<AttestLib::Tpm2::AttestState> DefaultAttestState()
{
   return AttestLib::Tpm2::AttestState::Create();
}

} // namespace Zarna
