#include "runtime/keylocator/locator_text.h"

#include <vector>

#include "runtime/hostlib/unicode.h"

namespace KeyLoc {

namespace {

bool Unreserved(unsigned char c)
{
   return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == '_' || c == '~';
}

int HexValue(char c)
{
   if (c >= '0' && c <= '9') {
      return c - '0';
   }
   if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
   }
   if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
   }
   return -1;
}

KeyLocError PercentDecode(std::string_view field, std::string &out)
{
   out.clear();
   out.reserve(field.size());
   for (size_t i = 0; i < field.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(field[i]);
      if (c == '%') {
         if (i + 2 >= field.size()) {
            return KEYLOC_ERR_BAD_ESCAPE;
         }
         const int hi = HexValue(field[i + 1]);
         const int lo = HexValue(field[i + 2]);
         if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
            return KEYLOC_ERR_BAD_ESCAPE;
         }
         out.push_back(static_cast<char>(hi * 16 + lo));
         i += 2;
      } else if (Unreserved(c)) {
         out.push_back(static_cast<char>(c));
      } else {
         return KEYLOC_ERR_MALFORMED;
      }
   }
   return KEYLOC_SUCCESS;
}

void PercentEncode(std::string_view text, std::string &out)
{
   static const char kHex[] = "0123456789ABCDEF";
   for (char ch : text) {
      const unsigned char c = static_cast<unsigned char>(ch);
      if (Unreserved(c)) {
         out.push_back(ch);
      } else {
         out.push_back('%');
         out.push_back(kHex[c >> 4]);
         out.push_back(kHex[c & 0xF]);
      }
   }
}

std::vector<std::string_view> SplitFields(std::string_view text)
{
   std::vector<std::string_view> fields;
   size_t start = 0;
   for (;;) {
      const size_t colon = text.find(':', start);
      if (colon == std::string_view::npos) {
         fields.push_back(text.substr(start));
         return fields;
      }
      fields.push_back(text.substr(start, colon - start));
      start = colon + 1;
   }
}

// A version is a decimal number without leading zeros; anything else is not
// a version at all.
bool ParseVersion(std::string_view field, unsigned &version)
{
   if (field.empty() || field.size() > 9 || (field.size() > 1 && field[0] == '0')) {
      return false;
   }
   version = 0;
   for (char c : field) {
      if (c < '0' || c > '9') {
         return false;
      }
      version = version * 10 + static_cast<unsigned>(c - '0');
   }
   return true;
}

} // namespace

bool ValidProvider(std::string_view provider)
{
   if (provider.empty() || provider.size() > kKeyLocatorMaxProvider) {
      return false;
   }
   for (char c : provider) {
      if (c < 0x21 || c > 0x7E) {
         return false;
      }
   }
   return true;
}

bool ValidKeyId(std::string_view keyId)
{
   if (keyId.empty() || keyId.size() > kKeyLocatorMaxKeyId) {
      return false;
   }
   for (char c : keyId) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7F) {
         return false;
      }
   }
   return Unicode_IsBufferValid(keyId.data(), keyId.size(), STRING_ENCODING_UTF8);
}

KeyLocError ParseLocator(std::string_view text, ParsedLocator &out)
{
   out = ParsedLocator();
   if (text.size() > kKeyLocatorMaxText) {
      return KEYLOC_ERR_TOO_LONG;
   }
   const std::vector<std::string_view> fields = SplitFields(text);
   if (fields.size() < 3 || fields[0] != kScheme) {
      return KEYLOC_ERR_MALFORMED;
   }
   unsigned version = 0;
   if (!ParseVersion(fields[1], version)) {
      return KEYLOC_ERR_MALFORMED;
   }
   // Checked before the form, so that a later version may change the rest.
   if (version != kVersion) {
      return KEYLOC_ERR_UNSUPPORTED_VERSION;
   }
   KeyLocError err;
   if (fields[2] == "indirect") {
      if (fields.size() != 5) {
         return KEYLOC_ERR_MALFORMED;
      }
      if ((err = PercentDecode(fields[3], out.provider)) != KEYLOC_SUCCESS ||
          (err = PercentDecode(fields[4], out.keyId)) != KEYLOC_SUCCESS) {
         return err;
      }
      if (!ValidProvider(out.provider) || !ValidKeyId(out.keyId)) {
         return KEYLOC_ERR_MALFORMED;
      }
      out.indirect = true;
      return KEYLOC_SUCCESS;
   }
   if (fields[2] == "direct") {
      if (fields.size() != 4) {
         return KEYLOC_ERR_MALFORMED;
      }
      if ((err = PercentDecode(fields[3], out.keyName)) != KEYLOC_SUCCESS) {
         return err;
      }
      return ValidKeyId(out.keyName) ? KEYLOC_SUCCESS : KEYLOC_ERR_MALFORMED;
   }
   return KEYLOC_ERR_MALFORMED;
}

KeyLocError FormatIndirect(std::string_view provider, std::string_view keyId, std::string &text)
{
   text.clear();
   if (!ValidProvider(provider) || !ValidKeyId(keyId)) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   text = std::string(kScheme) + ":1:indirect:";
   PercentEncode(provider, text);
   text.push_back(':');
   PercentEncode(keyId, text);
   if (text.size() > kKeyLocatorMaxText) {
      text.clear();
      return KEYLOC_ERR_TOO_LONG;
   }
   return KEYLOC_SUCCESS;
}

KeyLocError FormatDirect(std::string_view keyName, std::string &text)
{
   text.clear();
   if (!ValidKeyId(keyName)) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   text = std::string(kScheme) + ":1:direct:";
   PercentEncode(keyName, text);
   if (text.size() > kKeyLocatorMaxText) {
      text.clear();
      return KEYLOC_ERR_TOO_LONG;
   }
   return KEYLOC_SUCCESS;
}

} // namespace KeyLoc
