#include "runtime/ruvo/transport/http_writer.h"

#include <iterator>
#include <memory>

#include "runtime/ruvo/transport/phr_chunked_decoder.h"

namespace Ruvo::Transport::PicoHttp {

std::string GatheredMessage::Flatten() const
{
   std::string all;
   for (const auto &b : mBuffers) {
      all.append(static_cast<const char *>(b.data()), b.size());
   }
   return all;
}

std::vector<boost::asio::const_buffer> GatheredMessage::Coalesced()
{
   // Copying up to this size costs less than another piece of a write.
   constexpr size_t kCopyBelow = 1024;
   size_t small = 0;
   for (const auto &b : mBuffers) {
      small += b.size() < kCopyBelow ? b.size() : 0;
   }
   // Reserved up front: appending never moves what earlier buffers point to.
   mBlock.clear();
   mBlock.reserve(small);
   std::vector<boost::asio::const_buffer> out;
   size_t runStart = 0;
   for (const auto &b : mBuffers) {
      if (b.size() < kCopyBelow) {
         mBlock.append(static_cast<const char *>(b.data()), b.size());
         continue;
      }
      if (mBlock.size() > runStart) {
         out.emplace_back(mBlock.data() + runStart, mBlock.size() - runStart);
      }
      runStart = mBlock.size();
      out.push_back(b);
   }
   if (mBlock.size() > runStart) {
      out.emplace_back(mBlock.data() + runStart, mBlock.size() - runStart);
   }
   return out;
}

GatheredMessage::Slot &GatheredMessage::NewSlot()
{
   if (mInlineUsed < std::size(mInline)) {
      return mInline[mInlineUsed++];
   }
   mSlots.push_back(std::make_unique<Slot>());
   return *mSlots.back();
}

void GatheredMessage::AddNumber(uint64_t value)
{
   Slot &slot = NewSlot();
   char digits[24];
   size_t n = 0;
   do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
   } while (value != 0);
   size_t len = 0;
   while (n > 0) {
      slot.text[len++] = digits[--n];
   }
   mBuffers.emplace_back(slot.text, len);
}

void GatheredMessage::AddChunkHeader(uint64_t size)
{
   Slot &slot = NewSlot();
   char text[20];
   size_t len = FormatChunkHeader(size, text);
   std::copy(text, text + len, slot.text);
   mBuffers.emplace_back(slot.text, len);
}

void BuildClientRequest(GatheredMessage &out, std::string_view host, std::string_view body)
{
   out.Add("POST");
   out.Add(" ");
   out.Add("/api");
   out.Add(" HTTP/1.1\r\n");
   out.Add("Host: ");
   out.Add(host);
   out.Add("\r\n");
   out.Add("Content-Length: ");
   out.AddNumber(body.size());
   out.Add("\r\n");
   out.Add("Content-Type: ");
   out.Add("application/json");
   out.Add("\r\n");
   out.Add("Accept: ");
   out.Add("application/vnd.talvor.ruvo+stream.json,application/vnd.talvor.ruvo.framed,application/json");
   out.Add("\r\n");
   out.Add("Connection: ");
   out.Add("close");
   out.Add("\r\n");
   out.Add("User-Agent: Ruvo C++ runtime\r\n");
   out.Add("\r\n");
   if (!body.empty()) {
      out.Add(body);
   }
}

namespace {

void AddStatusLine200(GatheredMessage &out)
{
   out.Add("HTTP/1.1 ");
   out.Add("200");
   out.Add(" ");
   out.Add("OK");
   out.Add("\r\n");
}

void AddConnectionAndServer(GatheredMessage &out, bool keepAlive, const ExtraHeaders &extra)
{
   out.Add("Connection: ");
   out.Add(keepAlive ? "Keep-Alive" : "close");
   out.Add("\r\n");
   out.Add("Server: PicoHttp\r\n");
   for (const auto &[name, value] : extra) {
      out.Add(name);
      out.Add(": ");
      out.Add(value);
      out.Add("\r\n");
   }
   out.Add("\r\n");
}

} // namespace

void BuildBodyReply(GatheredMessage &out, std::string_view contentType, bool keepAlive,
                    const ExtraHeaders &extra, std::string_view body)
{
   AddStatusLine200(out);
   out.Add("Content-Length: ");
   out.AddNumber(body.size());
   out.Add("\r\n");
   out.Add("Content-Type: ");
   out.Add(contentType);
   out.Add("\r\n");
   AddConnectionAndServer(out, keepAlive, extra);
   if (!body.empty()) {
      out.Add(body);
   }
}

void BuildFramedChunkReply(GatheredMessage &out, std::string_view contentType, bool keepAlive,
                           const ExtraHeaders &extra, const std::vector<std::string> &messages)
{
   AddStatusLine200(out);
   out.Add("Content-Type: ");
   out.Add(contentType);
   out.Add("\r\n");
   out.Add("Transfer-Encoding: ");
   out.Add("chunked");
   out.Add("\r\n");
   AddConnectionAndServer(out, keepAlive, extra);
   for (const std::string &message : messages) {
      // A zero-size chunk would end the body early; an empty message is not sent.
      if (message.empty()) {
         continue;
      }
      out.AddChunkHeader(message.size());
      out.Add(message);
      out.Add("\r\n");
   }
   out.Add("0\r\n\r\n");
}

void BuildBadRequestReply(GatheredMessage &out, std::string_view body)
{
   out.Add("HTTP/1.1 ");
   out.Add("400");
   out.Add(" ");
   out.Add("Bad Request");
   out.Add("\r\n");
   out.Add("Content-Length: ");
   out.AddNumber(body.size());
   out.Add("\r\n");
   out.Add("Content-Type: ");
   out.Add("text/plain");
   out.Add("\r\n");
   out.Add("Connection: ");
   out.Add("close");
   out.Add("\r\n");
   out.Add("Server: PicoHttp\r\n");
   out.Add("\r\n");
   if (!body.empty()) {
      out.Add(body);
   }
}

void BuildStatusReply(GatheredMessage &out, int status, std::string_view statusMessage,
                      std::string_view body)
{
   out.Add("HTTP/1.1 ");
   // Three digits at most; anything else would not be a status code.
   out.AddNumber(static_cast<uint64_t>(status >= 100 && status <= 999 ? status : 500));
   out.Add(" ");
   out.Add(statusMessage);
   out.Add("\r\n");
   out.Add("Content-Length: ");
   out.AddNumber(body.size());
   out.Add("\r\n");
   out.Add("Content-Type: ");
   out.Add("application/json");
   out.Add("\r\n");
   out.Add("Connection: ");
   out.Add("close");
   out.Add("\r\n");
   out.Add("Server: PicoHttp\r\n");
   out.Add("\r\n");
   if (!body.empty()) {
      out.Add(body);
   }
}

bool IsHeaderNameSafe(std::string_view name)
{
   if (name.empty()) {
      return false;
   }
   for (char ch : name) {
      auto c = static_cast<unsigned char>(ch);
      bool ok = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
                std::string_view("!#$%&'*+-.^_`|~").find(ch) != std::string_view::npos;
      if (!ok) {
         return false;
      }
   }
   return true;
}

bool IsHeaderValueSafe(std::string_view value)
{
   for (char ch : value) {
      auto c = static_cast<unsigned char>(ch);
      if ((c < 0x20 && c != '\t') || c == 0x7f) {
         return false;
      }
   }
   return true;
}

} // namespace Ruvo::Transport::PicoHttp
