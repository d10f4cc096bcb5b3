#include "runtime/hostlib/unicode.h"

#include <cstdint>
#include <cstring>

namespace {

// The length of the longest prefix of `p` that is valid UTF-8.
size_t ValidUtf8Prefix(const uint8_t *p, size_t len)
{
   size_t i = 0;
   while (i < len) {
      // Runs of ASCII, the common case, eight bytes at a time.
      while (len - i >= sizeof(uint64_t)) {
         uint64_t word;
         std::memcpy(&word, p + i, sizeof word);
         if ((word & 0x8080808080808080ULL) != 0) {
            break;
         }
         i += sizeof word;
      }
      if (i == len) {
         break;
      }
      uint8_t b = p[i];
      if (b < 0x80) {
         ++i;
         continue;
      }
      size_t extra;
      uint32_t cp;
      uint32_t min;
      if ((b & 0xE0U) == 0xC0U) {
         extra = 1;
         cp = b & 0x1FU;
         min = 0x80;
      } else if ((b & 0xF0U) == 0xE0U) {
         extra = 2;
         cp = b & 0x0FU;
         min = 0x800;
      } else if ((b & 0xF8U) == 0xF0U) {
         extra = 3;
         cp = b & 0x07U;
         min = 0x10000;
      } else {
         return i; // continuation byte without a lead, or 0xF8..0xFF
      }
      if (len - i <= extra) {
         return i;
      }
      for (size_t k = 1; k <= extra; ++k) {
         uint8_t c = p[i + k];
         if ((c & 0xC0U) != 0x80U) {
            return i;
         }
         cp = (cp << 6U) | (c & 0x3FU);
      }
      if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
         return i;
      }
      i += extra + 1;
   }
   return len;
}

bool IsValidAscii(const uint8_t *p, size_t len)
{
   for (size_t i = 0; i < len; ++i) {
      if (p[i] >= 0x80) {
         return false;
      }
   }
   return true;
}

} // namespace

bool Unicode_IsBufferValid(const void *buffer, size_t length, StringEncoding encoding)
{
   if (length == 0) {
      return encoding == STRING_ENCODING_UTF8 || encoding == STRING_ENCODING_US_ASCII;
   }
   if (buffer == nullptr) {
      return false;
   }
   const auto *p = static_cast<const uint8_t *>(buffer);
   switch (encoding) {
   case STRING_ENCODING_UTF8:
      return ValidUtf8Prefix(p, length) == length;
   case STRING_ENCODING_US_ASCII:
      return IsValidAscii(p, length);
   }
   return false;
}

size_t Unicode_ValidUtf8Prefix(const void *buffer, size_t length)
{
   return length == 0 ? 0 : ValidUtf8Prefix(static_cast<const uint8_t *>(buffer), length);
}
