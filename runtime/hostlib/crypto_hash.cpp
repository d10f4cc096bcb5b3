#include "runtime/hostlib/crypto_hash.h"

#include <openssl/evp.h>

struct CryptoHashAlgorithm {
   const char *name;
   size_t outputSize;
};

namespace {
constexpr CryptoHashAlgorithm kSha256{"SHA256", 32};
}

const CryptoHashAlgorithm *CryptoHash_SHA256()
{
   return &kSha256;
}

size_t CryptoHash_GetOutputSize(const CryptoHashAlgorithm *algorithm)
{
   return algorithm == nullptr ? 0 : algorithm->outputSize;
}

CryptoError CryptoHash_Compute(const CryptoHashAlgorithm *algorithm, const void *data,
                               size_t length, void *output, size_t outputSize)
{
   if (algorithm == nullptr || output == nullptr || (data == nullptr && length != 0)) {
      return CRYPTO_ERROR_BAD_PARAMETER;
   }
   if (outputSize != algorithm->outputSize) {
      return CRYPTO_ERROR_BAD_BUFFER_SIZE;
   }
   // Fetched once: a fetch looks the name up in the provider tables under a lock,
   // which costs more than digesting a short text.
   static EVP_MD *const sha256 = EVP_MD_fetch(nullptr, kSha256.name, nullptr);
   EVP_MD *md = algorithm == &kSha256 ? sha256 : nullptr;
   if (md == nullptr) {
      return CRYPTO_ERROR_OPERATION_FAILED;
   }
   unsigned int written = 0;
   static const unsigned char kEmpty = 0;
   int ok = EVP_Digest(length == 0 ? &kEmpty : data, length, static_cast<unsigned char *>(output),
                       &written, md, nullptr);
   if (ok != 1 || written != algorithm->outputSize) {
      return CRYPTO_ERROR_OPERATION_FAILED;
   }
   return CRYPTO_ERROR_SUCCESS;
}
