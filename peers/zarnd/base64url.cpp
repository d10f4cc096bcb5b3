#include "peers/zarnd/base64url.h"

#include <cstdint>

namespace Zarnd {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

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
   if (c == '-') {
      return 62;
   }
   if (c == '_') {
      return 63;
   }
   return -1;
}

} // namespace

std::string Base64UrlEncode(std::string_view bytes)
{
   std::string out;
   out.reserve((bytes.size() * 4 + 2) / 3);
   size_t i = 0;
   for (; i + 3 <= bytes.size(); i += 3) {
      uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
      out += kAlphabet[(v >> 6) & 63];
      out += kAlphabet[v & 63];
   }
   size_t rest = bytes.size() - i;
   if (rest == 1) {
      uint32_t v = uint8_t(bytes[i]) << 16;
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
   } else if (rest == 2) {
      uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
      out += kAlphabet[(v >> 6) & 63];
   }
   return out;
}

bool Base64UrlDecode(std::string_view text, std::string &out)
{
   out.clear();
   if (text.size() % 4 == 1) {
      return false;
   }
   out.reserve(text.size() * 3 / 4);
   uint32_t acc = 0;
   int bits = 0;
   for (char c : text) {
      int v = Value(c);
      if (v < 0) {
         out.clear();
         return false;
      }
      acc = (acc << 6) | uint32_t(v);
      bits += 6;
      if (bits >= 8) {
         bits -= 8;
         out += char((acc >> bits) & 0xff);
      }
   }
   // Leftover bits must be zero, or two texts would decode to the same bytes.
   if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) {
      out.clear();
      return false;
   }
   return true;
}

} // namespace Zarnd
