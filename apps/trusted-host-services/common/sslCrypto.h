// Authenticated encryption (AES-GCM) and a hexadecimal SHA-256 digest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Ths::Common::SslUtils {

inline constexpr size_t kAesGcmTagSize = 16;

// Encrypts with AES-128-GCM or AES-256-GCM (chosen by a key of 16 or 32 bytes)
// under a fresh random 12-byte IV. Empty additionalData means none. Output vectors
// are resized. Returns 1 on success, another value on failure.
int AesGcmEncrypt(const std::vector<uint8_t> &plaintext, const std::vector<uint8_t> &key,
                  const std::vector<uint8_t> &additionalData, std::vector<uint8_t> &iv,
                  std::vector<uint8_t> &ciphertext, std::vector<uint8_t> &tag);

// Decrypts and authenticates. Returns 1 on success. On any failure the plaintext
// is wiped and emptied: unauthenticated bytes are never handed out.
int AesGcmDecrypt(const std::vector<uint8_t> &ciphertext, const std::vector<uint8_t> &key,
                  const std::vector<uint8_t> &iv, const std::vector<uint8_t> &additionalData,
                  const std::vector<uint8_t> &tag, std::vector<uint8_t> &plaintext);

// SHA-256 of the text as 64 lower-case hexadecimal digits.
bool ComputeSha256Hex(const std::string &text, std::string &hex);

} // namespace Ths::Common::SslUtils
