// Message digests over OpenSSL EVP.
#pragma once

#include <cstddef>

// An algorithm descriptor; obtained from CryptoHash_SHA256 and never freed.
struct CryptoHashAlgorithm;

typedef int CryptoError;
inline constexpr CryptoError CRYPTO_ERROR_SUCCESS = 0;
inline constexpr CryptoError CRYPTO_ERROR_BAD_PARAMETER = 1;
inline constexpr CryptoError CRYPTO_ERROR_BAD_BUFFER_SIZE = 2;
inline constexpr CryptoError CRYPTO_ERROR_OPERATION_FAILED = 3;

const CryptoHashAlgorithm *CryptoHash_SHA256();

// Digest size in bytes (32 for SHA-256).
size_t CryptoHash_GetOutputSize(const CryptoHashAlgorithm *algorithm);

// Digest of `length` bytes at `data` into `output`, whose size must equal the
// algorithm's output size. CRYPTO_ERROR_SUCCESS (0) or an error code.
CryptoError CryptoHash_Compute(const CryptoHashAlgorithm *algorithm, const void *data,
                               size_t length, void *output, size_t outputSize);
