// Certificate text pasted by an administrator: whatever is accepted comes out in
// the one canonical form, and for a base64 body canonicalising it again changes
// nothing. (The body is not checked to be base64; a body that ends in a partial end
// marker is accepted once and refused the second time, which is harmless because
// such a text is never a parseable certificate and is never stored.)
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/log.h"

namespace {

const std::string kBegin = "-----BEGIN CERTIFICATE-----";
const std::string kEnd = "-----END CERTIFICATE-----";

// Returns whether the body is plain base64.
bool CheckCanonical(const std::string &text)
{
   const size_t head = kBegin.size() + 1;
   if (text.size() < head + kEnd.size() || text.compare(0, head, kBegin + "\n") != 0 ||
       text.compare(text.size() - kEnd.size(), kEnd.size(), kEnd) != 0) {
      abort();
   }
   std::string body = text.substr(head, text.size() - head - kEnd.size());
   bool base64 = true;
   size_t lineStart = 0;
   for (size_t i = 0; i < body.size(); ++i) {
      if (body[i] == '\n') {
         size_t lineLength = i - lineStart;
         if (lineLength == 0 || lineLength > 64) {
            abort();
         }
         lineStart = i + 1;
      } else if (isspace(static_cast<unsigned char>(body[i]))) {
         abort();
      } else if (!isalnum(static_cast<unsigned char>(body[i])) && body[i] != '+' &&
                 body[i] != '/' && body[i] != '=') {
         base64 = false;
      }
   }
   if (lineStart != body.size()) {
      abort(); // the last line must end in "\n" too
   }
   return base64;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   static const bool sQuiet = (Log_SetStderr(false), true);
   (void)sQuiet;
   const std::string input(reinterpret_cast<const char *>(data), size);

   std::string text = input;
   if (Ths::Common::SslUtils::StandardizeCertificate(kBegin, kEnd, text)) {
      if (!CheckCanonical(text)) {
         return 0;
      }
      std::string again = text;
      if (!Ths::Common::SslUtils::StandardizeCertificate(kBegin, kEnd, again) || again != text) {
         abort();
      }
   }
   // Degenerate markers must not break it either.
   std::string other = input;
   Ths::Common::SslUtils::StandardizeCertificate("", "", other);
   return 0;
}
