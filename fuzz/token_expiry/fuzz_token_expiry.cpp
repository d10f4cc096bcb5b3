// Tokens from an attestation service: reading the expiry never crashes or
// leaks, and a failed decode always says why.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "apps/zarna/state/token_expiry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   const std::string token(reinterpret_cast<const char *>(data), size);
   int64_t exp = -1;
   int rc = 0;
   if (Zarna::ReadTokenExpiry(token, exp, rc)) {
      if (rc != 0) {
         abort();
      }
   } else if (rc == 0 || exp != 0) {
      abort();
   }
   return 0;
}
