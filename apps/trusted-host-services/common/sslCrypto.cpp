#include "apps/trusted-host-services/common/sslCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "apps/trusted-host-services/common/sslInternal.h"
#include "apps/trusted-host-services/common/sslUtils.h"
#include "runtime/hostlib/crypto_hash.h"
#include "runtime/hostlib/log.h"

namespace Ths::Common::SslUtils {

namespace {

const EVP_CIPHER *SelectCipher(size_t keyBytes)
{
   size_t bits = keyBytes * 8;
   switch (bits) {
   case 128:
      return EVP_aes_128_gcm();
   case 256:
      return EVP_aes_256_gcm();
   default:
      Log_Level(110, "Key size %zu bits is not supported\n", bits);
      return nullptr;
   }
}

// EVP takes int lengths.
bool FitsInt(size_t length)
{
   return length <= static_cast<size_t>(INT_MAX);
}

EvpCipherCtxPtr NewCipherContext()
{
   EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
   THS_SSL_VERIFY(ctx != nullptr);
   return ctx;
}

void Wipe(std::vector<uint8_t> &bytes)
{
   if (!bytes.empty()) {
      OPENSSL_cleanse(bytes.data(), bytes.size());
   }
   bytes.clear();
}

} // namespace

int AesGcmEncrypt(const std::vector<uint8_t> &plaintext, const std::vector<uint8_t> &key,
                  const std::vector<uint8_t> &additionalData, std::vector<uint8_t> &iv,
                  std::vector<uint8_t> &ciphertext, std::vector<uint8_t> &tag)
{
   const EVP_CIPHER *cipher = SelectCipher(key.size());
   if (cipher == nullptr) {
      Log_Level(110, "Error getting cipher\n");
      return 0;
   }
   iv.resize(static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher)));
   int result = RAND_bytes(iv.data(), static_cast<int>(iv.size()));
   if (result != 1) {
      Log_Level(110, "Failed to create iv\n");
      return result;
   }

   EvpCipherCtxPtr ctx = NewCipherContext();
   result = EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data());
   if (result != 1) {
      LogSslError("AesGcmEncrypt: EVP_EncryptInit_ex failed");
      return result;
   }
   int length = 0;
   if (!additionalData.empty()) {
      result = FitsInt(additionalData.size())
                   ? EVP_EncryptUpdate(ctx.get(), nullptr, &length, additionalData.data(),
                                       static_cast<int>(additionalData.size()))
                   : 0;
      if (result != 1) {
         LogSslError("AesGcmEncrypt: EVP_EncryptUpdate failed to set aad");
         return result;
      }
   }
   ciphertext.resize(plaintext.size());
   // A null output pointer would make EVP treat the bytes as additional data.
   if (!plaintext.empty()) {
      result = FitsInt(plaintext.size())
                   ? EVP_EncryptUpdate(ctx.get(), ciphertext.data(), &length, plaintext.data(),
                                       static_cast<int>(plaintext.size()))
                   : 0;
      if (result != 1) {
         LogSslError("AesGcmEncrypt: EVP_EncryptUpdate failed");
         return result;
      }
   }
   // GCM is a stream mode: the final step writes no bytes.
   uint8_t noOutput[EVP_MAX_BLOCK_LENGTH];
   result = EVP_EncryptFinal_ex(ctx.get(), noOutput, &length);
   if (result != 1) {
      LogSslError("AesGcmEncrypt: EVP_EncryptFinal_ex failed");
      return result;
   }
   tag.resize(kAesGcmTagSize);
   result = EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()),
                                tag.data());
   if (result != 1) {
      LogSslError("AesGcmEncrypt: EVP_CIPHER_CTX_ctrl failed");
      return result;
   }
   return 1;
}

int AesGcmDecrypt(const std::vector<uint8_t> &ciphertext, const std::vector<uint8_t> &key,
                  const std::vector<uint8_t> &iv, const std::vector<uint8_t> &additionalData,
                  const std::vector<uint8_t> &tag, std::vector<uint8_t> &plaintext)
{
   const EVP_CIPHER *cipher = SelectCipher(key.size());
   if (cipher == nullptr) {
      Log_Level(110, "Error getting cipher\n");
      return 0;
   }
   EvpCipherCtxPtr ctx = NewCipherContext();
   // The IV is read at the cipher's own length; a shorter vector would be overread.
   int result = iv.size() == static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher))
                    ? EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data())
                    : 0;
   if (result != 1) {
      LogSslError("AesGcmDecrypt: EVP_DecryptInit_ex failed");
      return result;
   }
   int length = 0;
   if (!additionalData.empty()) {
      result = FitsInt(additionalData.size())
                   ? EVP_DecryptUpdate(ctx.get(), nullptr, &length, additionalData.data(),
                                       static_cast<int>(additionalData.size()))
                   : 0;
      if (result != 1) {
         LogSslError("AesGcmDecrypt: EVP_DecryptUpdate failed to set aad");
         return result;
      }
   }
   plaintext.resize(ciphertext.size());
   if (!ciphertext.empty()) {
      result = FitsInt(ciphertext.size())
                   ? EVP_DecryptUpdate(ctx.get(), plaintext.data(), &length, ciphertext.data(),
                                       static_cast<int>(ciphertext.size()))
                   : 0;
      if (result != 1) {
         Wipe(plaintext);
         LogSslError("AesGcmDecrypt: EVP_DecryptUpdate failed");
         return result;
      }
   }
   // Only a full-length tag is accepted: GCM would also check a truncated one.
   std::vector<uint8_t> expected(tag);
   result = expected.size() == kAesGcmTagSize
                ? EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG,
                                      static_cast<int>(expected.size()), expected.data())
                : 0;
   if (result != 1) {
      Wipe(plaintext);
      LogSslError("AesGcmDecrypt: EVP_CIPHER_CTX_ctrl failed");
      return result;
   }
   uint8_t noOutput[EVP_MAX_BLOCK_LENGTH];
   result = EVP_DecryptFinal_ex(ctx.get(), noOutput, &length);
   if (result != 1) {
      Wipe(plaintext);
      LogSslError("AesGcmDecrypt: EVP_DecryptFinal_ex failed");
      return result;
   }
   return 1;
}

bool ComputeSha256Hex(const std::string &text, std::string &hex)
{
   const CryptoHashAlgorithm *algorithm = CryptoHash_SHA256();
   std::vector<uint8_t> digest(CryptoHash_GetOutputSize(algorithm), 0);
   CryptoError error =
       CryptoHash_Compute(algorithm, text.data(), text.size(), digest.data(), digest.size());
   if (error != CRYPTO_ERROR_SUCCESS) {
      Log_Level(110, "CryptoHash_Compute failed: %d\n", error);
      Log_Level(110, "Failed to compute hash\n");
      return false;
   }
   static const char kHexDigits[] = "0123456789abcdef";
   hex.clear();
   hex.reserve(digest.size() * 2);
   for (uint8_t byte : digest) {
      hex += kHexDigits[byte >> 4U];
      hex += kHexDigits[byte & 0x0FU];
   }
   return true;
}

} // namespace Ths::Common::SslUtils
