// Attestation contexts from a peer: decoding never reads out of bounds, and
// whatever decodes re-encodes to exactly the same bytes (one form per message).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/tpm2/attest_protocol.h"

namespace Protocol = AttestLib::Tpm2::Protocol;

template <typename Message> void Check(const Protocol::Bytes &bytes)
{
   Message message;
   std::string error;
   if (Protocol::Decode(bytes, message, error)) {
      if (!error.empty() || Protocol::Encode(message) != bytes) {
         abort();
      }
   } else if (error.empty()) {
      abort();
   }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   const Protocol::Bytes bytes(data, data + size);
   Protocol::MessageType type;
   std::string error;
   const bool known = Protocol::PeekType(bytes, type, error);
   Check<Protocol::Challenge>(bytes);
   Check<Protocol::AkPublic>(bytes);
   Check<Protocol::Credential>(bytes);
   Check<Protocol::Evidence>(bytes);
   if (!known && error.empty()) {
      abort();
   }
   return 0;
}
