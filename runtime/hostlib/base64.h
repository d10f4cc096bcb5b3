// Base64 (RFC 4648, standard alphabet "A-Za-z0-9+/" with "=" padding).
//
// Decoding is strict: the text length must be a multiple of 4; "=" may appear
// only as the last one or two characters of the text; the unused low bits of
// a padded final group must be zero (one canonical text per byte string); any
// other character, including whitespace and line breaks, fails the decode.
// The empty text decodes to zero bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bytes that decoding `length` characters of `text` yields when the text is
// valid; for invalid text, an upper bound (3 per 4 characters, rounded up).
size_t Base64_DecodedLength(const char *text, size_t length);

// Decodes the NUL-terminated `text` into `out` (capacity `outSize` bytes) and
// stores the byte count in *dataLength. False, with *dataLength = 0, for
// invalid text or too small a buffer; `out` may then hold partial output.
bool Base64_Decode(const char *text, uint8_t *out, size_t outSize, size_t *dataLength);

// As Base64_Decode, for text of known length (a NUL byte inside is invalid).
bool Base64_DecodeBuffer(const char *text, size_t length, uint8_t *out, size_t outSize,
                         size_t *dataLength);

// Characters that encoding `length` bytes yields (without a terminator).
size_t Base64_EncodedLength(size_t length);

// Encodes `length` bytes into `out` and NUL-terminates it; `outSize` must be
// at least Base64_EncodedLength(length) + 1. False when it is not.
bool Base64_Encode(const uint8_t *data, size_t length, char *out, size_t outSize,
                   size_t *textLength);

namespace Hostlib {

// Base64url (RFC 4648 section 5, alphabet "A-Za-z0-9-_") without padding, as
// tokens and wrapped keys carry it.
std::string Base64UrlEncode(std::string_view bytes);
// Strict: only the URL-safe alphabet, no padding, no whitespace, and the unused
// low bits of the last character zero (one text per byte string). On failure
// `out` is empty.
bool Base64UrlDecode(std::string_view text, std::string &out);

} // namespace Hostlib
