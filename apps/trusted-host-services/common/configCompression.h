// Gzip compression of configuration text, which must be UTF-8.
#pragma once

#include <string>
#include <vector>

namespace Ths::Common::Compression {

// Appends one gzip stream (level 9, no name, no comment, mtime 0) of the text to
// `compressed`. False, with `compressed` untouched, when the text is not UTF-8.
bool CompressConfiguration(const std::string &text, std::vector<char> &compressed);

// Appends the text held by the gzip stream to `text`. False for anything that is
// not one or more complete gzip members (damaged, truncated, trailing bytes) and
// for content that is not UTF-8; `text` may then hold partial output.
bool DecompressConfiguration(const std::vector<char> &compressed, std::string &text);

} // namespace Ths::Common::Compression
