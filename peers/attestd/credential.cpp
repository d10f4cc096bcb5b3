#include "peers/attestd/credential.h"

#include <cstring>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace Attestd {

namespace {

constexpr size_t kSeedBytes = 32; // SHA-256, the EK's name algorithm
constexpr size_t kSymKeyBits = 128;

struct CtxFree {
   void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct CipherFree {
   void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

void PutBe32(Bytes &out, uint32_t value)
{
   for (int shift = 24; shift >= 0; shift -= 8) {
      out.push_back(static_cast<uint8_t>(value >> shift));
   }
}

Bytes HmacSha256(const Bytes &key, const Bytes &data)
{
   Bytes out(32);
   unsigned int size = 0;
   HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(),
        out.data(), &size);
   out.resize(size);
   return out;
}

// Zeroes the seed and derived keys however the function ends.
struct Wiped {
   Bytes &bytes;
   ~Wiped() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

} // namespace

Bytes KdfA(const Bytes &key, const std::string &label, const Bytes &contextU, const Bytes &contextV,
           size_t bits)
{
   Bytes out;
   const size_t bytes = bits / 8;
   for (uint32_t counter = 1; out.size() < bytes; ++counter) {
      Bytes block;
      PutBe32(block, counter);
      block.insert(block.end(), label.begin(), label.end());
      block.push_back(0);
      block.insert(block.end(), contextU.begin(), contextU.end());
      block.insert(block.end(), contextV.begin(), contextV.end());
      PutBe32(block, static_cast<uint32_t>(bits));
      Bytes mac = HmacSha256(key, block);
      out.insert(out.end(), mac.begin(), mac.end());
   }
   out.resize(bytes);
   return out;
}

bool MakeCredential(EVP_PKEY *ek, const Bytes &objectName, const Bytes &secret,
                    TPM2B_ID_OBJECT &blob, TPM2B_ENCRYPTED_SECRET &encryptedSeed,
                    std::string &error)
{
   if (!ek || EVP_PKEY_get_base_id(ek) != EVP_PKEY_RSA || EVP_PKEY_get_bits(ek) != 2048) {
      error = "endorsement key is not RSA 2048";
      return false;
   }
   if (secret.empty() || secret.size() > 64 || objectName.empty()) {
      error = "bad credential input";
      return false;
   }
   Bytes seed(kSeedBytes);
   Wiped wipeSeed{seed};
   if (RAND_bytes(seed.data(), static_cast<int>(seed.size())) != 1) {
      error = "no random bytes";
      return false;
   }

   // The seed travels encrypted to the EK, labelled for credential use.
   std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, ek, nullptr));
   static const char kLabel[] = "IDENTITY";
   auto *label = static_cast<unsigned char *>(OPENSSL_memdup(kLabel, sizeof kLabel));
   size_t outSize = sizeof encryptedSeed.secret;
   if (!ctx || !label || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
       EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
       EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1 ||
       EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
       EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), label, sizeof kLabel) != 1) {
      OPENSSL_free(label);
      error = "cannot prepare seed encryption";
      return false;
   }
   if (EVP_PKEY_encrypt(ctx.get(), encryptedSeed.secret, &outSize, seed.data(), seed.size()) != 1) {
      error = "cannot encrypt seed";
      return false;
   }
   encryptedSeed.size = static_cast<uint16_t>(outSize);

   Bytes symKey = KdfA(seed, "STORAGE", objectName, {}, kSymKeyBits);
   Wiped wipeSym{symKey};
   Bytes hmacKey = KdfA(seed, "INTEGRITY", {}, {}, 256);
   Wiped wipeHmac{hmacKey};

   // The credential as a TPM2B_DIGEST, encrypted with a zero IV.
   Bytes plain{static_cast<uint8_t>(secret.size() >> 8), static_cast<uint8_t>(secret.size())};
   plain.insert(plain.end(), secret.begin(), secret.end());
   Wiped wipePlain{plain};
   Bytes encIdentity(plain.size());
   std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher(EVP_CIPHER_CTX_new());
   const unsigned char iv[16] = {};
   int n1 = 0;
   int n2 = 0;
   if (!cipher ||
       EVP_EncryptInit_ex(cipher.get(), EVP_aes_128_cfb(), nullptr, symKey.data(), iv) != 1 ||
       EVP_EncryptUpdate(cipher.get(), encIdentity.data(), &n1, plain.data(),
                         static_cast<int>(plain.size())) != 1 ||
       EVP_EncryptFinal_ex(cipher.get(), encIdentity.data() + n1, &n2) != 1 ||
       static_cast<size_t>(n1 + n2) != plain.size()) {
      error = "cannot encrypt credential";
      return false;
   }

   Bytes macInput = encIdentity;
   macInput.insert(macInput.end(), objectName.begin(), objectName.end());
   Bytes outerHmac = HmacSha256(hmacKey, macInput);

   Bytes idObject{static_cast<uint8_t>(outerHmac.size() >> 8),
                  static_cast<uint8_t>(outerHmac.size())};
   idObject.insert(idObject.end(), outerHmac.begin(), outerHmac.end());
   idObject.insert(idObject.end(), encIdentity.begin(), encIdentity.end());
   if (idObject.size() > sizeof blob.credential) {
      error = "credential too large";
      return false;
   }
   blob.size = static_cast<uint16_t>(idObject.size());
   std::memcpy(blob.credential, idObject.data(), idObject.size());
   return true;
}

} // namespace Attestd
