#include "tools/zarnactl/ca_files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Zarnactl {
namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

class SystemFileReader : public FileReader {
public:
   bool Read(const std::string &path, size_t maxBytes, std::string &out,
             std::string &error) override
   {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
         error = std::strerror(errno);
         return false;
      }
      std::string data;
      char buf[8192];
      while (in.read(buf, sizeof buf) || in.gcount() > 0) {
         data.append(buf, static_cast<size_t>(in.gcount()));
         if (data.size() > maxBytes) {
            error = "file is larger than " + std::to_string(maxBytes) + " bytes";
            return false;
         }
      }
      if (in.bad()) {
         error = "read error";
         return false;
      }
      out = std::move(data);
      return true;
   }
};

// Next line of text starting at pos, without its line end; pos moves past it.
std::string_view NextLine(std::string_view text, size_t &pos)
{
   size_t end = text.find('\n', pos);
   std::string_view line =
       text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
   pos = end == std::string_view::npos ? text.size() : end + 1;
   if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
   }
   return line;
}

// "-----BEGIN X-----" gives X; empty when the line is not such a marker.
std::string_view MarkerLabel(std::string_view line, std::string_view prefix)
{
   if (line.substr(0, prefix.size()) != prefix || line.size() < prefix.size() + kDashes.size() ||
       line.substr(line.size() - kDashes.size()) != kDashes) {
      return {};
   }
   return line.substr(prefix.size(), line.size() - prefix.size() - kDashes.size());
}

} // namespace

std::shared_ptr<FileReader> MakeSystemFileReader()
{
   return std::make_shared<SystemFileReader>();
}

bool SplitPemCertificates(std::string_view text, std::vector<std::string> &out, std::string &error)
{
   size_t pos = 0;
   while (pos < text.size()) {
      std::string_view label = MarkerLabel(NextLine(text, pos), kBegin);
      if (label.empty()) {
         continue;
      }
      bool keep = label == "CERTIFICATE";
      std::string block = keep ? "-----BEGIN CERTIFICATE-----\n" : "";
      bool ended = false;
      while (pos < text.size()) {
         std::string_view line = NextLine(text, pos);
         std::string_view endLabel = MarkerLabel(line, kEnd);
         if (!endLabel.empty()) {
            if (endLabel != label) {
               error = "PEM block '" + std::string(label) + "' ends with '" +
                       std::string(endLabel) + "'";
               return false;
            }
            ended = true;
            break;
         }
         if (keep) {
            block.append(line);
            block.push_back('\n');
         }
      }
      if (!ended) {
         error = "PEM block '" + std::string(label) + "' is not terminated";
         return false;
      }
      if (keep) {
         block.append("-----END CERTIFICATE-----\n");
         out.push_back(std::move(block));
      }
   }
   return true;
}

bool LoadCaChain(FileReader &reader, const std::vector<std::string> &paths,
                 std::vector<std::string> &chain, std::string &error)
{
   std::vector<std::string> result;
   for (const auto &path : paths) {
      std::string text;
      std::string why;
      if (!reader.Read(path, kMaxCaFileBytes, text, why)) {
         error = "cannot read CA file '" + path + "': " + why;
         return false;
      }
      size_t before = result.size();
      if (!SplitPemCertificates(text, result, why)) {
         error = "CA file '" + path + "': " + why;
         return false;
      }
      if (result.size() == before) {
         error = "CA file '" + path + "' holds no PEM certificate";
         return false;
      }
   }
   chain = std::move(result);
   return true;
}

} // namespace Zarnactl
