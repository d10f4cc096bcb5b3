#include "tools/zarnactl/human_output.h"

#include <algorithm>
#include <array>

#include "tools/zarnactl/cert_summary.h"

namespace Zarnactl {
namespace {

constexpr std::string_view kStdPrefix = "com.talvor.ruvo.std.errors.";

void AppendEscaped(std::string &out, unsigned char c)
{
   static const char *hex = "0123456789abcdef";
   out += "\\x";
   out += hex[c >> 4];
   out += hex[c & 0xf];
}

// Length of the valid UTF-8 sequence at text[i], 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i)
{
   auto c = static_cast<unsigned char>(text[i]);
   size_t len = c >= 0xf0 && c <= 0xf4   ? 4
                : c >= 0xe0 && c <= 0xef ? 3
                : c >= 0xc2 && c <= 0xdf ? 2
                                         : 0;
   if (len == 0 || i + len > text.size()) {
      return 0;
   }
   for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
         return 0;
      }
   }
   auto c1 = static_cast<unsigned char>(text[i + 1]);
   if ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0) || (c == 0xf0 && c1 < 0x90) ||
       (c == 0xf4 && c1 >= 0x90)) {
      return 0; // overlong, surrogate or beyond U+10FFFF
   }
   // C1 controls (U+0080..U+009F) act on terminals like escape sequences.
   if (c == 0xc2 && c1 < 0xa0) {
      return 0;
   }
   return len;
}

std::string Pad(const std::string &text, size_t width)
{
   // Widths count bytes; good enough for the ASCII that ids, hosts and groups are.
   return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

std::string Printable(std::string_view text)
{
   std::string out;
   out.reserve(text.size());
   for (size_t i = 0; i < text.size();) {
      auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
         if (c < 0x20 || c == 0x7f) {
            AppendEscaped(out, c);
         } else {
            out += static_cast<char>(c);
         }
         ++i;
         continue;
      }
      size_t len = Utf8SequenceLength(text, i);
      if (len == 0) {
         AppendEscaped(out, c);
         ++i;
         continue;
      }
      out.append(text.substr(i, len));
      i += len;
   }
   return out;
}

std::string PortText(const std::optional<int64_t> &port)
{
   return port ? std::to_string(*port) : std::string("443 (default)");
}

void WriteServiceTable(std::ostream &out, const std::vector<ServiceRow> &rows)
{
   if (rows.empty()) {
      out << "No services.\n";
      return;
   }
   std::vector<std::array<std::string, 4>> cells;
   cells.push_back({"ID", "HOST", "PORT", "GROUP"});
   for (const auto &row : rows) {
      cells.push_back(
          {Printable(row.id), Printable(row.host), PortText(row.port), Printable(row.group)});
   }
   std::array<size_t, 4> width{};
   for (const auto &line : cells) {
      for (size_t i = 0; i < width.size(); ++i) {
         width[i] = std::max(width[i], line[i].size());
      }
   }
   for (const auto &line : cells) {
      out << Pad(line[0], width[0]) << "  " << Pad(line[1], width[1]) << "  "
          << Pad(line[2], width[2]) << "  " << line[3] << "\n";
   }
}

void WriteServiceDetail(std::ostream &out, const ServiceDetail &detail)
{
   out << "Host:   " << Printable(detail.host) << "\n";
   out << "Port:   " << PortText(detail.port) << "\n";
   out << "Group:  " << Printable(detail.group) << "\n";
   out << "Trusted CA chain: " << detail.certificates.size()
       << (detail.certificates.size() == 1 ? " certificate" : " certificates") << " (root first)\n";
   size_t n = 0;
   for (const auto &pem : detail.certificates) {
      ++n;
      CertSummary summary;
      if (!SummarizeCertificate(pem, summary)) {
         out << "  " << n << ". (not a readable certificate)\n";
         continue;
      }
      out << "  " << n << ". subject:   " << Printable(summary.subject) << "\n";
      out << "     issuer:    " << Printable(summary.issuer) << "\n";
      out << "     not after: " << Printable(summary.notAfter) << "\n";
   }
}

void WriteErrorMessages(std::ostream &err, const Ruvo::Data::ErrorValue &error)
{
   std::vector<Ruvo::BaseMessage> messages = error.messages();
   bool wrote = false;
   for (const auto &message : messages) {
      const std::string &text =
          message.GetDefaultMessage().empty() ? message.GetId() : message.GetDefaultMessage();
      if (text.empty()) {
         continue;
      }
      err << "zarnactl: " << Printable(text) << "\n";
      wrote = true;
   }
   if (!wrote) {
      std::string_view name = error.GetName();
      if (name.substr(0, kStdPrefix.size()) == kStdPrefix) {
         name.remove_prefix(kStdPrefix.size());
      }
      err << "zarnactl: the agent reported an error (" << Printable(name)
          << ") without a message\n";
   }
}

} // namespace Zarnactl
