#include "runtime/hostlib/base64.h"

#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kInvalid = -1;

int Value(char c)
{
   if (c >= 'A' && c <= 'Z') {
      return c - 'A';
   }
   if (c >= 'a' && c <= 'z') {
      return c - 'a' + 26;
   }
   if (c >= '0' && c <= '9') {
      return c - '0' + 52;
   }
   if (c == '+') {
      return 62;
   }
   if (c == '/') {
      return 63;
   }
   return kInvalid;
}

size_t Padding(const char *text, size_t length)
{
   if (length < 4 || length % 4 != 0) {
      return 0;
   }
   if (text[length - 1] != '=') {
      return 0;
   }
   return text[length - 2] == '=' ? 2 : 1;
}

} // namespace

size_t Base64_DecodedLength(const char *text, size_t length)
{
   if (text == nullptr || length % 4 != 0) {
      return (length + 3) / 4 * 3;
   }
   return length / 4 * 3 - Padding(text, length);
}

bool Base64_DecodeBuffer(const char *text, size_t length, uint8_t *out, size_t outSize,
                         size_t *dataLength)
{
   size_t ignored;
   if (dataLength == nullptr) {
      dataLength = &ignored;
   }
   *dataLength = 0;
   if (length == 0) {
      return true;
   }
   if (text == nullptr || length % 4 != 0) {
      return false;
   }
   size_t padding = Padding(text, length);
   size_t needed = length / 4 * 3 - padding;
   if (needed > outSize || out == nullptr) {
      return false;
   }
   size_t written = 0;
   for (size_t i = 0; i < length; i += 4) {
      bool last = i + 4 == length;
      size_t pad = last ? padding : 0;
      int v[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < 4 - pad; ++k) {
         v[k] = Value(text[i + k]);
         if (v[k] == kInvalid) {
            return false;
         }
      }
      auto group = (static_cast<uint32_t>(v[0]) << 18U) | (static_cast<uint32_t>(v[1]) << 12U) |
                   (static_cast<uint32_t>(v[2]) << 6U) | static_cast<uint32_t>(v[3]);
      // Non-zero bits below the last encoded byte would let two texts decode alike.
      if ((pad == 1 && (group & 0xFFU) != 0) || (pad == 2 && (group & 0xFFFFU) != 0)) {
         return false;
      }
      out[written++] = static_cast<uint8_t>(group >> 16U);
      if (pad < 2) {
         out[written++] = static_cast<uint8_t>(group >> 8U);
      }
      if (pad < 1) {
         out[written++] = static_cast<uint8_t>(group);
      }
   }
   *dataLength = written;
   return true;
}

bool Base64_Decode(const char *text, uint8_t *out, size_t outSize, size_t *dataLength)
{
   if (text == nullptr) {
      return Base64_DecodeBuffer(nullptr, 1, out, outSize, dataLength);
   }
   return Base64_DecodeBuffer(text, strlen(text), out, outSize, dataLength);
}

size_t Base64_EncodedLength(size_t length)
{
   return (length + 2) / 3 * 4;
}

bool Base64_Encode(const uint8_t *data, size_t length, char *out, size_t outSize,
                   size_t *textLength)
{
   size_t needed = Base64_EncodedLength(length);
   if (out == nullptr || outSize < needed + 1 || (data == nullptr && length != 0)) {
      if (textLength != nullptr) {
         *textLength = 0;
      }
      return false;
   }
   size_t o = 0;
   for (size_t i = 0; i < length; i += 3) {
      size_t n = length - i < 3 ? length - i : 3;
      uint32_t group = static_cast<uint32_t>(data[i]) << 16U;
      if (n > 1) {
         group |= static_cast<uint32_t>(data[i + 1]) << 8U;
      }
      if (n > 2) {
         group |= data[i + 2];
      }
      out[o++] = kAlphabet[(group >> 18U) & 0x3FU];
      out[o++] = kAlphabet[(group >> 12U) & 0x3FU];
      out[o++] = n > 1 ? kAlphabet[(group >> 6U) & 0x3FU] : '=';
      out[o++] = n > 2 ? kAlphabet[group & 0x3FU] : '=';
   }
   out[o] = '\0';
   if (textLength != nullptr) {
      *textLength = o;
   }
   return true;
}
