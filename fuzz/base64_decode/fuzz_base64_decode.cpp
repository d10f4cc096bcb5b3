// Base64 decoding of untrusted text (keys returned by a key provider service):
// never reads or writes out of bounds, and what it accepts re-encodes to the
// same text (one canonical text per byte string).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/hostlib/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   const char *text = reinterpret_cast<const char *>(data);
   size_t capacity = Base64_DecodedLength(text, size);
   // Exactly sized heap buffer, so that any overrun is caught by the sanitizer.
   std::vector<uint8_t> out(capacity);
   size_t decoded = 0;
   bool ok = Base64_DecodeBuffer(text, size, out.data(), out.size(), &decoded);
   if (!ok) {
      if (decoded != 0) {
         abort();
      }
      return 0;
   }
   if (decoded != capacity) {
      abort();
   }
   std::vector<char> again(Base64_EncodedLength(decoded) + 1);
   size_t againLen = 0;
   if (!Base64_Encode(out.data(), decoded, again.data(), again.size(), &againLen) ||
       againLen != size || (size != 0 && memcmp(again.data(), text, size) != 0)) {
      abort();
   }
   // The NUL-terminated entry point agrees with the sized one.
   std::string terminated(text, size);
   size_t decoded2 = 0;
   std::vector<uint8_t> out2(capacity);
   if (!Base64_Decode(terminated.c_str(), out2.data(), out2.size(), &decoded2) ||
       decoded2 != decoded || out2 != out) {
      abort();
   }
   return 0;
}
