#include "runtime/ruvo/transport/phr_parse.h"

#include <algorithm>

namespace Ruvo::Transport::PicoHttp {
namespace {

bool IsTokenChar(unsigned char c)
{
   if (c >= '0' && c <= '9') {
      return true;
   }
   if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
      return true;
   }
   switch (c) {
   case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
   case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
   default:
      return false;
   }
}

// Field values: visible characters, obs-text, space and tab.
bool IsValueChar(unsigned char c)
{
   return c == '\t' || (c >= 0x20 && c != 0x7f);
}

class Cursor {
public:
   Cursor(char *buf, size_t len) : mBuf(buf), mLen(len) {}

   bool AtEnd() const { return mPos >= mLen; }
   unsigned char Peek() const { return static_cast<unsigned char>(mBuf[mPos]); }
   size_t Pos() const { return mPos; }
   char *Ptr() { return mBuf + mPos; }
   void Advance(size_t n = 1) { mPos += n; }

   // Consumes a line end (CRLF or a bare LF). Returns kPhrIncomplete, kPhrError or 0.
   long LineEnd()
   {
      if (AtEnd()) {
         return kPhrIncomplete;
      }
      if (Peek() == '\r') {
         Advance();
         if (AtEnd()) {
            return kPhrIncomplete;
         }
      }
      if (Peek() != '\n') {
         return kPhrError;
      }
      Advance();
      return 0;
   }

   // Consumes "HTTP/1.<digit>".
   long Version(int &minor)
   {
      static constexpr std::string_view kPrefix = "HTTP/1.";
      for (char expected : kPrefix) {
         if (AtEnd()) {
            return kPhrIncomplete;
         }
         if (Peek() != static_cast<unsigned char>(expected)) {
            return kPhrError;
         }
         Advance();
      }
      if (AtEnd()) {
         return kPhrIncomplete;
      }
      if (Peek() < '0' || Peek() > '9') {
         return kPhrError;
      }
      minor = Peek() - '0';
      Advance();
      return 0;
   }

private:
   char *mBuf;
   size_t mLen;
   size_t mPos = 0;
};

long ParseHeaders(Cursor &cur, std::vector<PhrHeader> &headers)
{
   headers.clear();
   for (;;) {
      if (cur.AtEnd()) {
         return kPhrIncomplete;
      }
      if (cur.Peek() == '\r' || cur.Peek() == '\n') {
         long rc = cur.LineEnd();
         return rc == 0 ? static_cast<long>(cur.Pos()) : rc;
      }
      if (headers.size() >= kPhrMaxHeaders) {
         return kPhrError;
      }
      PhrHeader h;
      h.name = cur.Ptr();
      while (!cur.AtEnd() && IsTokenChar(cur.Peek())) {
         cur.Advance();
      }
      if (cur.AtEnd()) {
         return kPhrIncomplete;
      }
      h.nameLen = static_cast<size_t>(cur.Ptr() - h.name);
      // An empty name also rejects obsolete line folding (a line starting with blanks).
      if (h.nameLen == 0 || cur.Peek() != ':') {
         return kPhrError;
      }
      cur.Advance();
      while (!cur.AtEnd() && (cur.Peek() == ' ' || cur.Peek() == '\t')) {
         cur.Advance();
      }
      const char *value = cur.Ptr();
      while (!cur.AtEnd() && cur.Peek() != '\r' && cur.Peek() != '\n') {
         if (!IsValueChar(cur.Peek())) {
            return kPhrError;
         }
         cur.Advance();
      }
      const char *valueEnd = cur.Ptr();
      long rc = cur.LineEnd();
      if (rc != 0) {
         return rc;
      }
      while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t')) {
         --valueEnd;
      }
      h.value = value;
      h.valueLen = static_cast<size_t>(valueEnd - value);
      headers.push_back(h);
   }
}

// Blank lines before a start line are tolerated (a client may send a line end after
// a body).
long SkipLeadingLineEnds(Cursor &cur)
{
   while (!cur.AtEnd() && (cur.Peek() == '\r' || cur.Peek() == '\n')) {
      long rc = cur.LineEnd();
      if (rc != 0) {
         return rc;
      }
   }
   return 0;
}

} // namespace

long PhrParse(char *buf, size_t len, PhrRequest &out)
{
   Cursor cur(buf, len);
   out = PhrRequest();
   if (long rc = SkipLeadingLineEnds(cur); rc != 0) {
      return rc;
   }
   const char *method = cur.Ptr();
   while (!cur.AtEnd() && IsTokenChar(cur.Peek())) {
      cur.Advance();
   }
   if (cur.AtEnd()) {
      return kPhrIncomplete;
   }
   if (cur.Ptr() == method || cur.Peek() != ' ') {
      return kPhrError;
   }
   out.method = std::string_view(method, static_cast<size_t>(cur.Ptr() - method));
   cur.Advance();
   const char *path = cur.Ptr();
   while (!cur.AtEnd() && cur.Peek() > 0x20 && cur.Peek() < 0x7f) {
      cur.Advance();
   }
   if (cur.AtEnd()) {
      return kPhrIncomplete;
   }
   if (cur.Ptr() == path || cur.Peek() != ' ') {
      return kPhrError;
   }
   out.path = std::string_view(path, static_cast<size_t>(cur.Ptr() - path));
   cur.Advance();
   if (long rc = cur.Version(out.minorVersion); rc != 0) {
      return rc;
   }
   if (long rc = cur.LineEnd(); rc != 0) {
      return rc;
   }
   return ParseHeaders(cur, out.headers);
}

long PhrParse(char *buf, size_t len, PhrResponse &out)
{
   Cursor cur(buf, len);
   out = PhrResponse();
   if (long rc = SkipLeadingLineEnds(cur); rc != 0) {
      return rc;
   }
   if (long rc = cur.Version(out.minorVersion); rc != 0) {
      return rc;
   }
   if (cur.AtEnd()) {
      return kPhrIncomplete;
   }
   if (cur.Peek() != ' ') {
      return kPhrError;
   }
   cur.Advance();
   int status = 0;
   for (int i = 0; i < 3; ++i) {
      if (cur.AtEnd()) {
         return kPhrIncomplete;
      }
      if (cur.Peek() < '0' || cur.Peek() > '9') {
         return kPhrError;
      }
      status = status * 10 + (cur.Peek() - '0');
      cur.Advance();
   }
   out.status = status;
   if (cur.AtEnd()) {
      return kPhrIncomplete;
   }
   // The reason phrase may be missing altogether ("HTTP/1.1 200\r\n").
   if (cur.Peek() == ' ') {
      cur.Advance();
      const char *message = cur.Ptr();
      while (!cur.AtEnd() && cur.Peek() != '\r' && cur.Peek() != '\n') {
         if (!IsValueChar(cur.Peek())) {
            return kPhrError;
         }
         cur.Advance();
      }
      out.message = std::string_view(message, static_cast<size_t>(cur.Ptr() - message));
   }
   if (long rc = cur.LineEnd(); rc != 0) {
      return rc;
   }
   return ParseHeaders(cur, out.headers);
}

void TolowerAndSortHeaders(std::vector<PhrHeader> &headers)
{
   for (PhrHeader &h : headers) {
      for (size_t i = 0; i < h.nameLen; ++i) {
         char c = h.name[i];
         if (c >= 'A' && c <= 'Z') {
            h.name[i] = static_cast<char>(c - 'A' + 'a');
         }
      }
   }
   std::stable_sort(headers.begin(), headers.end(), [](const PhrHeader &a, const PhrHeader &b) {
      return a.Name() < b.Name();
   });
}

} // namespace Ruvo::Transport::PicoHttp
