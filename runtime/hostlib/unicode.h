// Text validation.
#pragma once

#include <cstddef>

enum StringEncoding : int {
   STRING_ENCODING_UTF8 = 0,
   STRING_ENCODING_US_ASCII = 1,
};

// True when the `length` bytes at `buffer` are valid text in `encoding`.
// UTF-8 is checked strictly: overlong forms, surrogates (U+D800..U+DFFF),
// code points above U+10FFFF and truncated sequences are invalid. NUL bytes
// are ordinary characters. An unknown encoding is never valid.
bool Unicode_IsBufferValid(const void *buffer, size_t length, StringEncoding encoding);

// The number of leading bytes of `buffer` that are valid UTF-8 by the rules above:
// `length` when all of it is, else the offset of the first invalid sequence.
size_t Unicode_ValidUtf8Prefix(const void *buffer, size_t length);
