// A trusted CA chain sent through the management API. Input: one flag byte
// (bit 0: a self-signed first entry is allowed; bit 1: the first entry is handed
// in as a trusted CA instead), then PEM texts, split after each end marker.
#include <openssl/err.h>

#include <cstdint>
#include <string>
#include <vector>

#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   static const bool sQuiet = (Log_SetStderr(false), true);
   (void)sQuiet;
   if (size == 0) {
      return 0;
   }
   const uint8_t flags = data[0];
   const std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);

   static const std::string kEnd = "-----END CERTIFICATE-----";
   std::vector<std::string> entries;
   size_t start = 0;
   while (start < input.size()) {
      size_t end = input.find(kEnd, start);
      size_t stop = end == std::string::npos ? input.size() : end + kEnd.size();
      entries.push_back(input.substr(start, stop - start));
      start = stop;
   }

   std::vector<std::string> trustedCa;
   if ((flags & 2U) != 0 && !entries.empty()) {
      trustedCa.push_back(entries.front());
      entries.erase(entries.begin());
   }
   bool duplicate = false;
   Ths::Common::SslUtils::ValidateCertChain(entries, trustedCa, (flags & 1U) != 0, duplicate);
   ERR_clear_error();
   return 0;
}
