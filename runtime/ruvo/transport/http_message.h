// What the transport needs to know about a parsed request or response: framing,
// content type and connection handling, taken from its (lower-cased, sorted) headers.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <boost/system/error_code.hpp>

#include "runtime/ruvo/transport/phr_parse.h"

namespace Ruvo::Transport::PicoHttp {

inline constexpr std::string_view kJsonContentType = "application/json";
inline constexpr std::string_view kStreamContentType = "application/vnd.talvor.ruvo+stream.json";
inline constexpr std::string_view kFramedContentType = "application/vnd.talvor.ruvo.framed";
inline constexpr std::string_view kCleanJsonContentType = "application/vnd.talvor.ruvo.cleanjson";
inline constexpr std::string_view kCleanFramedContentType = "application/vnd.talvor.ruvo.cframed.cleanjson";
inline constexpr std::string_view kCleanStreamContentType = "application/vnd.talvor.ruvo.clean+stream.json";

struct HttpMessageInfo {
   std::string_view contentType;
   std::string_view accept;
   std::string_view transferEncoding;
   uint64_t contentLength = 0;
   bool hasContentLength = false;
   bool chunked = false;
   bool keepAlive = true;
   bool streaming = false;
   bool peerAcceptsStreaming = false;
};

bool IsStreamingContentType(std::string_view contentType);

// One of the six content types of the wire format, compared without parameters
// (";charset=...") and without regard to case.
bool IsRecognisedContentType(std::string_view contentType);

// Whether a content type uses the clean data encoding.
bool IsCleanContentType(std::string_view contentType);

// Server rules for a request. Headers must already be lower-cased and sorted.
// Errors (transport category): 9 for a content length beyond 64 bits, 11 for an
// unparsable or conflicting content length, or a request without a body, 7 for a
// transfer encoding other than a single "chunked", or one beside a content length.
boost::system::error_code AnnotateRequest(const std::vector<PhrHeader> &headers, HttpMessageInfo &info);

// Client rules for a response. Errors: 5 for a malformed or conflicting content
// length, or a transfer encoding the server rules refuse. Whether a response
// without either framing is usable is the caller's check.
boost::system::error_code AnnotateResponse(const std::vector<PhrHeader> &headers, HttpMessageInfo &info);

// Parses an unsigned decimal number. Returns 0 on success, 1 when the digits do not
// fit 64 bits, 2 when the text is not a plain decimal number.
int ParseContentLength(std::string_view text, uint64_t &value);

// Case-insensitive (ASCII) search and comparison.
bool ContainsNoCase(std::string_view haystack, std::string_view needle);
bool EqualsNoCase(std::string_view a, std::string_view b);

} // namespace Ruvo::Transport::PicoHttp
