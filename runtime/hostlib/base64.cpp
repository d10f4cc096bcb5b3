#include "runtime/hostlib/base64.h"

#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr int kInvalid = -1;

// The two alphabets differ only in the characters for 62 and 63.
int Value(char c, const char *alphabet)
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
   if (c == alphabet[62]) {
      return 62;
   }
   if (c == alphabet[63]) {
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

// Decodes `length` characters of `alphabet` (no padding) into `out`, which has
// room for them: every group of four but the last is whole; the last holds two
// to four characters. False for any other character, or for non-zero bits below
// the last encoded byte (they would let two texts decode alike).
bool DecodeGroups(const char *text, size_t length, const char *alphabet, uint8_t *out,
                  size_t &written)
{
   written = 0;
   for (size_t i = 0; i < length; i += 4) {
      size_t chars = length - i < 4 ? length - i : 4;
      if (chars < 2) {
         return false;
      }
      uint32_t group = 0;
      for (size_t k = 0; k < 4; ++k) {
         int v = k < chars ? Value(text[i + k], alphabet) : 0;
         if (v == kInvalid) {
            return false;
         }
         group = (group << 6U) | static_cast<uint32_t>(v);
      }
      size_t missing = 4 - chars;
      if ((missing == 1 && (group & 0xFFU) != 0) || (missing == 2 && (group & 0xFFFFU) != 0)) {
         return false;
      }
      out[written++] = static_cast<uint8_t>(group >> 16U);
      if (missing < 2) {
         out[written++] = static_cast<uint8_t>(group >> 8U);
      }
      if (missing < 1) {
         out[written++] = static_cast<uint8_t>(group);
      }
   }
   return true;
}

// Encodes `length` bytes into `out` (room for Base64_EncodedLength(length));
// the last group is filled up with "=" when `pad`, else left short. Returns the
// characters written.
size_t EncodeGroups(const uint8_t *data, size_t length, const char *alphabet, bool pad, char *out)
{
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
      out[o++] = alphabet[(group >> 18U) & 0x3FU];
      out[o++] = alphabet[(group >> 12U) & 0x3FU];
      if (n > 1) {
         out[o++] = alphabet[(group >> 6U) & 0x3FU];
      } else if (pad) {
         out[o++] = '=';
      }
      if (n > 2) {
         out[o++] = alphabet[group & 0x3FU];
      } else if (pad) {
         out[o++] = '=';
      }
   }
   return o;
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
   if (!DecodeGroups(text, length - padding, kAlphabet, out, written)) {
      return false;
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
   size_t o = EncodeGroups(data, length, kAlphabet, true, out);
   out[o] = '\0';
   if (textLength != nullptr) {
      *textLength = o;
   }
   return true;
}

namespace Hostlib {

std::string Base64UrlEncode(std::string_view bytes)
{
   std::string out(Base64_EncodedLength(bytes.size()), '\0');
   out.resize(EncodeGroups(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                           kUrlAlphabet, false, out.data()));
   return out;
}

bool Base64UrlDecode(std::string_view text, std::string &out)
{
   out.clear();
   if (text.size() % 4 == 1) {
      return false;
   }
   out.resize(text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1));
   size_t written = 0;
   if (!DecodeGroups(text.data(), text.size(), kUrlAlphabet,
                     reinterpret_cast<uint8_t *>(out.data()), written)) {
      out.clear();
      return false;
   }
   out.resize(written);
   return true;
}

} // namespace Hostlib
