// Trusted CA chains from PEM files: every certificate block of every file, in
// order, forms the chain (root first).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Zarnactl {

// Seam over the file system so tests can hand in contents and failures.
class FileReader {
public:
   virtual ~FileReader() = default;
   // The whole file; false with the reason when it cannot be read or is larger
   // than maxBytes.
   virtual bool Read(const std::string &path, size_t maxBytes, std::string &out,
                     std::string &error) = 0;
};

std::shared_ptr<FileReader> MakeSystemFileReader();

// A CA bundle larger than this is certainly not one.
inline constexpr size_t kMaxCaFileBytes = 1024 * 1024;

// The "CERTIFICATE" blocks of a PEM text, each from its BEGIN line to its END line
// with line ends normalised to "\n" and a final "\n". Other block types (keys,
// parameters) are skipped so they never leave the machine. False when a certificate
// block is not terminated.
bool SplitPemCertificates(std::string_view text, std::vector<std::string> &out, std::string &error);

// Reads the files in order; false with the reason (naming the file) when one cannot
// be read or holds no certificate.
bool LoadCaChain(FileReader &reader, const std::vector<std::string> &paths,
                 std::vector<std::string> &chain, std::string &error);

} // namespace Zarnactl
