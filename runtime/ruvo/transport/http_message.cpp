#include "runtime/ruvo/transport/http_message.h"

#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

char Lower(char c)
{
   return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view MediaType(std::string_view contentType)
{
   size_t semi = contentType.find(';');
   if (semi != std::string_view::npos) {
      contentType = contentType.substr(0, semi);
   }
   while (!contentType.empty() && (contentType.back() == ' ' || contentType.back() == '\t')) {
      contentType.remove_suffix(1);
   }
   return contentType;
}

std::string_view Trim(std::string_view text)
{
   while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
      text.remove_prefix(1);
   }
   while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
      text.remove_suffix(1);
   }
   return text;
}

// The transfer codings of a message. Only "chunked" alone is understood: with any
// other coding, or with a content length beside it, the two sides could disagree
// on where the body ends, so such a message is refused rather than guessed at.
struct Framing {
   bool seen = false;
   bool other = false;

   void Add(HttpMessageInfo &info, std::string_view value)
   {
      if (!seen) {
         info.transferEncoding = value;
      }
      if (seen || !EqualsNoCase(Trim(value), "chunked")) {
         other = true;
      }
      seen = true;
      info.chunked = true;
   }

   bool Usable(const HttpMessageInfo &info) const
   {
      return !seen || (!other && !info.hasContentLength);
   }
};

} // namespace

bool ContainsNoCase(std::string_view haystack, std::string_view needle)
{
   if (needle.size() > haystack.size()) {
      return false;
   }
   for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
      if (EqualsNoCase(haystack.substr(i, needle.size()), needle)) {
         return true;
      }
   }
   return false;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
   if (a.size() != b.size()) {
      return false;
   }
   for (size_t i = 0; i < a.size(); ++i) {
      if (Lower(a[i]) != Lower(b[i])) {
         return false;
      }
   }
   return true;
}

bool IsStreamingContentType(std::string_view contentType)
{
   return contentType.find("+stream.json") != std::string_view::npos ||
          contentType.find(".framed") != std::string_view::npos;
}

bool IsRecognisedContentType(std::string_view contentType)
{
   std::string_view media = MediaType(contentType);
   for (std::string_view known : {kJsonContentType, kStreamContentType, kFramedContentType,
                                  kCleanJsonContentType, kCleanFramedContentType,
                                  kCleanStreamContentType}) {
      if (EqualsNoCase(media, known)) {
         return true;
      }
   }
   return false;
}

bool IsCleanContentType(std::string_view contentType)
{
   return ContainsNoCase(contentType, "clean");
}

int ParseContentLength(std::string_view text, uint64_t &value)
{
   if (text.empty()) {
      return 2;
   }
   uint64_t v = 0;
   bool overflow = false;
   for (char c : text) {
      if (c < '0' || c > '9') {
         return 2;
      }
      auto digit = static_cast<uint64_t>(c - '0');
      if (v > (UINT64_MAX - digit) / 10) {
         overflow = true;
      } else {
         v = v * 10 + digit;
      }
   }
   if (overflow) {
      return 1;
   }
   value = v;
   return 0;
}

boost::system::error_code AnnotateRequest(const std::vector<PhrHeader> &headers, HttpMessageInfo &info)
{
   info = HttpMessageInfo();
   bool contentTypeSeen = false;
   bool acceptSeen = false;
   Framing framing;
   for (const PhrHeader &h : headers) {
      std::string_view name = h.Name();
      std::string_view value = h.Value();
      if (name == "content-type") {
         if (!contentTypeSeen) {
            info.contentType = value;
            info.streaming = IsStreamingContentType(value);
            contentTypeSeen = true;
         }
      } else if (name == "accept") {
         if (!acceptSeen) {
            info.accept = value;
            acceptSeen = true;
         }
         if (value.find("+stream.json") != std::string_view::npos) {
            info.peerAcceptsStreaming = true;
         }
      } else if (name == "content-length") {
         uint64_t length = 0;
         int rc = ParseContentLength(value, length);
         if (rc == 1) {
            return Error::http_request_too_long;
         }
         // Two different lengths leave the body's end ambiguous.
         if (rc != 0 || (info.hasContentLength && info.contentLength != length)) {
            return Error::invalid_request;
         }
         info.contentLength = length;
         info.hasContentLength = true;
      } else if (name == "transfer-encoding") {
         framing.Add(info, value);
      } else if (name == "connection") {
         if (ContainsNoCase(value, "close")) {
            info.keepAlive = false;
         }
      }
   }
   if (!framing.Usable(info)) {
      return Error::http_protocol_error;
   }
   if (!info.chunked && info.contentLength == 0) {
      return Error::invalid_request;
   }
   return {};
}

boost::system::error_code AnnotateResponse(const std::vector<PhrHeader> &headers, HttpMessageInfo &info)
{
   info = HttpMessageInfo();
   bool contentTypeSeen = false;
   Framing framing;
   for (const PhrHeader &h : headers) {
      std::string_view name = h.Name();
      std::string_view value = h.Value();
      if (name == "content-type") {
         if (!contentTypeSeen) {
            info.contentType = value;
            info.streaming = IsStreamingContentType(value);
            contentTypeSeen = true;
         }
      } else if (name == "accept") {
         info.accept = value;
         info.peerAcceptsStreaming = value.find("+stream.json") != std::string_view::npos;
      } else if (name == "content-length") {
         uint64_t length = 0;
         if (ParseContentLength(value, length) != 0 ||
             (info.hasContentLength && info.contentLength != length)) {
            return Error::parse_error;
         }
         info.contentLength = length;
         info.hasContentLength = true;
      } else if (name == "transfer-encoding") {
         framing.Add(info, value);
      } else if (name == "connection") {
         if (ContainsNoCase(value, "close")) {
            info.keepAlive = false;
         }
      }
   }
   if (!framing.Usable(info)) {
      return Error::parse_error;
   }
   return {};
}

} // namespace Ruvo::Transport::PicoHttp
