// HTTP/1.x header-block parser for requests and responses.
//
// The parser never copies: names and values point into the caller's buffer, which
// must stay alive (and unmoved) while the parsed record is used. Names point into
// writable memory so that they can be lower-cased in place.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace Ruvo::Transport::PicoHttp {

struct PhrHeader {
   char *name = nullptr;
   size_t nameLen = 0;
   const char *value = nullptr;
   size_t valueLen = 0;

   std::string_view Name() const { return {name, nameLen}; }
   std::string_view Value() const { return {value, valueLen}; }
};

struct PhrRequest {
   std::string_view method;
   std::string_view path;
   int minorVersion = 0;
   std::vector<PhrHeader> headers;
};

struct PhrResponse {
   int minorVersion = 0;
   int status = 0;
   std::string_view message;
   std::vector<PhrHeader> headers;
};

// Result of a parse: the length of the complete header block (request or status
// line, header lines and the empty line), or one of these.
inline constexpr long kPhrError = -1;
inline constexpr long kPhrIncomplete = -2;

// More header lines than this make the block unparsable.
inline constexpr size_t kPhrMaxHeaders = 100;

long PhrParse(char *buf, size_t len, PhrRequest &out);
long PhrParse(char *buf, size_t len, PhrResponse &out);

// Lower-cases every header name in place and sorts the headers by name, keeping the
// received order among equal names.
void TolowerAndSortHeaders(std::vector<PhrHeader> &headers);

} // namespace Ruvo::Transport::PicoHttp
