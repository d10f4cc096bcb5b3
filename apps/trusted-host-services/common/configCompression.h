// Gzip compression of configuration text, which must be UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Ths::Common::Compression {

// Appends one gzip stream (level 9, no name, no comment, mtime 0) of the text to
// `compressed`. False, with `compressed` untouched, when the text is not UTF-8.
bool CompressConfiguration(const std::string &text, std::vector<char> &compressed);

// The most text a decompression produces (16 MiB): a few kilobytes of gzip can
// expand to gigabytes, so the output is bounded by what configuration needs,
// not by what the input claims.
inline constexpr size_t kMaxDecompressedSize = 16 * 1024 * 1024;

// Appends the text held by the gzip stream to `text`. False for anything that is
// not one or more complete gzip members (damaged, truncated, trailing bytes),
// for more than `maxSize` bytes of output (decompression stops there) and for
// content that is not UTF-8; `text` may then hold partial output.
bool DecompressConfiguration(const std::vector<char> &compressed, std::string &text,
                             size_t maxSize = kMaxDecompressedSize);

} // namespace Ths::Common::Compression
