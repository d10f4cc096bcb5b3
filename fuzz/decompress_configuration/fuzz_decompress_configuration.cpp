// Stored compressed configuration read back: any bytes either fail cleanly or give
// UTF-8 text that survives another compression round trip.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/trusted-host-services/common/configCompression.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   static const bool sQuiet = (Log_SetStderr(false), true);
   (void)sQuiet;
   using namespace Ths::Common::Compression;
   const std::vector<char> input(reinterpret_cast<const char *>(data),
                                 reinterpret_cast<const char *>(data) + size);
   std::string text;
   if (!DecompressConfiguration(input, text)) {
      return 0;
   }
   if (!Unicode_IsBufferValid(text.data(), text.size(), STRING_ENCODING_UTF8)) {
      abort();
   }
   std::vector<char> again;
   std::string back;
   if (!CompressConfiguration(text, again) || !DecompressConfiguration(again, back) ||
       back != text) {
      abort();
   }
   return 0;
}
