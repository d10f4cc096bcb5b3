// What attestd reads from an agent: the attestation key's public area, and the
// quote, its signature and the PCR values. Input: one selector byte, then for
// the quote three fields each with a 2-byte big-endian length.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "peers/attestd/evidence.h"
#include "runtime/tpm2/attest_protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Take(const uint8_t *&data, size_t &size, Bytes &out)
{
   if (size < 2) {
      return false;
   }
   const size_t length = (static_cast<size_t>(data[0]) << 8) | data[1];
   data += 2;
   size -= 2;
   if (length > size) {
      return false;
   }
   out.assign(data, data + length);
   data += length;
   size -= length;
   return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1) {
      return 0;
   }
   const uint8_t selector = data[0];
   data++;
   size--;
   std::string error;
   if (selector % 2 == 0) {
      TPMT_PUBLIC ak{};
      Bytes name;
      if (Attestd::CheckAkPublic(Bytes(data, data + size), ak, name, error) != error.empty()) {
         abort();
      }
      return 0;
   }
   // A fixed key: a quote can only verify by forging a signature; what matters is
   // that every malformed field is refused without reading out of bounds.
   static const TPMT_PUBLIC ak = [] {
      TPMT_PUBLIC p{};
      p.type = TPM2_ALG_ECC;
      p.nameAlg = TPM2_ALG_SHA256;
      p.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
      p.unique.ecc.x.size = 32;
      p.unique.ecc.y.size = 32;
      return p;
   }();
   Bytes attest;
   Bytes signature;
   Bytes values;
   if (!Take(data, size, attest) || !Take(data, size, signature) || !Take(data, size, values)) {
      return 0;
   }
   const Bytes nonce(AttestLib::Tpm2::Protocol::kNonceBytes, 0x11);
   const TPML_PCR_SELECTION selection = Attestd::Sha256Selection({0, 1, 2, 3, 4, 5, 6, 7});
   std::map<unsigned, Bytes> pcrs;
   Attestd::QuoteCheck check{&ak, &nonce, &selection, &attest, &signature, &values};
   if (Attestd::VerifyQuote(check, pcrs, error) || error.empty()) {
      abort();
   }
   return 0;
}
