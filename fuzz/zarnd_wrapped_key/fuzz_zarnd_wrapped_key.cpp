// Wrapped-key texts as callers hand them to the key provider service: the parser
// must survive any bytes, whatever parses must format back to the same text, and
// no text unwraps under a master key it was not made with.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "peers/zarnd/wrapped_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::string_view text(reinterpret_cast<const char *>(data), size);
   Zarnd::WrappedKey key;
   if (!Zarnd::ParseWrappedKey(text, key)) {
      return 0;
   }
   if (Zarnd::FormatWrappedKey(key) != text) {
      abort();
   }
   Ruvo::SecretString out;
   if (Zarnd::OpenKey(Ruvo::SecretString(std::string(32, 'm')), "fuzz", key, out)) {
      abort(); // a forgery of AES-GCM
   }
   return 0;
}
