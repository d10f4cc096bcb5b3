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
   // One context per thread, reset for each digest: a new context per call costs
   // an allocation and a provider set-up each time.
   struct Context {
      EVP_MD_CTX *ctx = EVP_MD_CTX_new();
      ~Context() { EVP_MD_CTX_free(ctx); }
   };
   thread_local Context context;
   unsigned int written = 0;
   int ok = context.ctx != nullptr && EVP_DigestInit_ex2(context.ctx, md, nullptr) == 1 &&
            EVP_DigestUpdate(context.ctx, data, length) == 1 &&
            EVP_DigestFinal_ex(context.ctx, static_cast<unsigned char *>(output), &written) == 1;
   if (!ok || written != algorithm->outputSize) {
      return CRYPTO_ERROR_OPERATION_FAILED;
   }
   return CRYPTO_ERROR_SUCCESS;
}
