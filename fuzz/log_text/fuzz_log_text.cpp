// Texts from callers, peers and the kernel on their way into a log line: whatever
// the bytes, a line holds no control byte, stays valid UTF-8 and within its bound,
// and a method text is accepted only as dotted identifiers that print back as given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "runtime/hostlib/log.h"
#include "runtime/hostlib/safe_text.h"
#include "runtime/hostlib/unicode.h"
#include "runtime/ruvo/core/method_identifier.h"

namespace {

void Check(bool condition)
{
   if (!condition) {
      abort();
   }
}

void CheckLineText(std::string_view text)
{
   for (unsigned char c : text) {
      Check(c >= 0x20 && c != 0x7F);
   }
   Check(Unicode_IsBufferValid(text.data(), text.size(), STRING_ENCODING_UTF8));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0) {
      return 0;
   }
   // The first byte chooses the bound, the rest is the text.
   const size_t maxBytes = data[0];
   const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);

   std::string out = "> ";
   Hostlib::AppendLogSafe(out, text, maxBytes);
   const std::string_view shown = std::string_view(out).substr(2);
   CheckLineText(shown);
   const size_t marker = shown.find("...[cut ");
   if (marker == std::string_view::npos) {
      Check(shown.size() <= maxBytes && shown.size() >= text.size());
   } else {
      Check(marker <= maxBytes);
   }

   static std::string lastLine;
   static const bool sinkSet = [] {
      Log_SetStderr(false);
      Log_SetSink([](uint32_t, std::string_view message) { lastLine = std::string(message); });
      return true;
   }();
   (void)sinkSet;
   lastLine.clear();
   const std::string whole(text);
   Log_Level(110, "%s\n", whole.c_str());
   CheckLineText(lastLine);
   Check(lastLine.size() <= kLogMaxMessageBytes + 32);

   Ruvo::Core::MethodIdentifier method;
   if (Ruvo::Core::MethodIdentifier::FromString(text, method)) {
      Check(method.ToString() == text);
      Check(text.size() <= Ruvo::Core::MethodIdentifier::kMaxTextBytes);
      for (char c : text) {
         Check(c == '.' || c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
               (c >= 'A' && c <= 'Z'));
      }
   }
   return 0;
}
