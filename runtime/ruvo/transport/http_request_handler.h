// What the HTTP server hands a received request to, and what it gets back.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "runtime/ruvo/transport/http_message.h"
#include "runtime/ruvo/transport/http_writer.h"
#include "runtime/ruvo/transport/phr_parse.h"

namespace Ruvo::Transport::PicoHttp {

struct HttpServerRequest {
   const PhrRequest &request;  // header names lower-cased and sorted
   const HttpMessageInfo &info;
   std::string_view body;      // the whole body, or the one message of a streamed body
};

struct HttpServerReply {
   // An error carried as an HTTP status instead of a JSON-RPC reply; always closes.
   bool httpStatus = false;
   int status = 200;
   std::string statusMessage;
   std::string body;
   ExtraHeaders extraHeaders;
};

using HttpReplyCb = std::function<void(HttpServerReply)>;

class HttpRequestHandler {
public:
   virtual ~HttpRequestHandler() = default;
   // Runs on the connection's executor; the request's views are valid only during the
   // call. Returns false when it cannot take the request (the server answers 400);
   // otherwise it calls reply exactly once, possibly later and on any thread.
   virtual bool Handle(const HttpServerRequest &request, HttpReplyCb reply) = 0;
};

} // namespace Ruvo::Transport::PicoHttp
