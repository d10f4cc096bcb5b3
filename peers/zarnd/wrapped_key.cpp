#include "peers/zarnd/wrapped_key.h"

#include <charconv>
#include <vector>

#include <openssl/crypto.h>

#include "apps/trusted-host-services/common/sslCrypto.h"
#include "runtime/hostlib/base64.h"

namespace Zarnd {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text)
{
   return Bytes(text.begin(), text.end());
}

void Wipe(Bytes &bytes)
{
   if (!bytes.empty()) {
      OPENSSL_cleanse(bytes.data(), bytes.size());
   }
   bytes.clear();
}

Bytes Aad(const std::string &provider, uint32_t version)
{
   std::string aad = std::string(kWrapPrefix) + '.' + std::to_string(version) + '.' + provider;
   return ToBytes(aad);
}

bool ParseVersion(std::string_view text, uint32_t &version)
{
   if (text.empty() || text.size() > 10 || text[0] == '0') {
      return false;
   }
   uint64_t value = 0;
   auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
   if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 0x7fffffff) {
      return false;
   }
   version = static_cast<uint32_t>(value);
   return true;
}

} // namespace

bool IsSupportedKeyLength(size_t bytes)
{
   return bytes == 16 || bytes == 24 || bytes == 32;
}

bool ParseWrappedKey(std::string_view text, WrappedKey &out)
{
   if (text.size() > kMaxWrappedKeyText) {
      return false;
   }
   std::string_view parts[5];
   size_t count = 0;
   size_t start = 0;
   while (count < 5) {
      size_t dot = text.find('.', start);
      if (dot == std::string_view::npos) {
         parts[count++] = text.substr(start);
         start = text.size() + 1;
         break;
      }
      parts[count++] = text.substr(start, dot - start);
      start = dot + 1;
   }
   if (count != 5 || start <= text.size() || parts[0] != kWrapPrefix) {
      return false;
   }
   WrappedKey key;
   if (!ParseVersion(parts[1], key.version) || !Hostlib::Base64UrlDecode(parts[2], key.iv) ||
       !Hostlib::Base64UrlDecode(parts[3], key.ciphertext) ||
       !Hostlib::Base64UrlDecode(parts[4], key.tag)) {
      return false;
   }
   if (key.iv.size() != kIvBytes || key.tag.size() != kTagBytes ||
       !IsSupportedKeyLength(key.ciphertext.size())) {
      return false;
   }
   out = std::move(key);
   return true;
}

std::string FormatWrappedKey(const WrappedKey &key)
{
   return std::string(kWrapPrefix) + '.' + std::to_string(key.version) + '.' +
          Hostlib::Base64UrlEncode(key.iv) + '.' + Hostlib::Base64UrlEncode(key.ciphertext) + '.' +
          Hostlib::Base64UrlEncode(key.tag);
}

bool SealKey(const Ruvo::SecretString &masterKey, const std::string &provider, uint32_t version,
             const Ruvo::SecretString &key, WrappedKey &out)
{
   if (masterKey.Size() != 32 || !IsSupportedKeyLength(key.Size())) {
      return false;
   }
   Bytes plain = ToBytes(key.Expose());
   Bytes master = ToBytes(masterKey.Expose());
   Bytes iv, ciphertext, tag;
   int rc = Ths::Common::SslUtils::AesGcmEncrypt(plain, master, Aad(provider, version), iv,
                                                 ciphertext, tag);
   Wipe(plain);
   Wipe(master);
   if (rc != 1 || iv.size() != kIvBytes || tag.size() != kTagBytes) {
      return false;
   }
   out.version = version;
   out.iv.assign(iv.begin(), iv.end());
   out.ciphertext.assign(ciphertext.begin(), ciphertext.end());
   out.tag.assign(tag.begin(), tag.end());
   return true;
}

bool OpenKey(const Ruvo::SecretString &masterKey, const std::string &provider,
             const WrappedKey &wrapped, Ruvo::SecretString &key)
{
   if (masterKey.Size() != 32) {
      return false;
   }
   Bytes master = ToBytes(masterKey.Expose());
   Bytes plain;
   int rc = Ths::Common::SslUtils::AesGcmDecrypt(
       ToBytes(wrapped.ciphertext), master, ToBytes(wrapped.iv), Aad(provider, wrapped.version),
       ToBytes(wrapped.tag), plain);
   Wipe(master);
   bool ok = rc == 1 && IsSupportedKeyLength(plain.size());
   if (ok) {
      key = Ruvo::SecretString(
          std::string_view(reinterpret_cast<const char *>(plain.data()), plain.size()));
   }
   Wipe(plain);
   return ok;
}

} // namespace Zarnd
