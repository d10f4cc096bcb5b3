// One accepted server connection: reads requests, hands each to the request
// handler, writes the replies, and keeps the connection for the next request unless
// either side asked to close it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/transport/byte_stream.h"
#include "runtime/ruvo/transport/http_request_handler.h"
#include "runtime/ruvo/transport/server_settings.h"

namespace Ruvo::Transport::PicoHttp {

class PicoHttpServerTransportHelper
   : public std::enable_shared_from_this<PicoHttpServerTransportHelper> {
public:
   static std::shared_ptr<PicoHttpServerTransportHelper> Create(
      std::shared_ptr<Asio::ByteStream> stream, std::shared_ptr<HttpRequestHandler> handler,
      const ServerSettings &settings, Log::LoggerPtr logger);
   ~PicoHttpServerTransportHelper();

   // TLS handshake where the stream has one, then the first request.
   void Start();

   // Text of the 400 reply.
   static constexpr std::string_view kBadRequestText = "Bad Request: no handler for this request\n";

private:
   PicoHttpServerTransportHelper(std::shared_ptr<Asio::ByteStream> stream,
                                 std::shared_ptr<HttpRequestHandler> handler,
                                 const ServerSettings &settings, Log::LoggerPtr logger);

   void NextRequest();
   void ReadMore(size_t atLeast, void (PicoHttpServerTransportHelper::*then)());
   void ParseHeader();
   void ReceiveRpcBody();
   void ReceiveRpcBodyNew();
   bool RefreshHeader();
   void Dispatch(std::string_view body);
   void SendRpcResponse(HttpServerReply reply);
   void SendBadRequest();
   void Write(bool keepAlive);
   void RequestError(const boost::system::error_code &ec);
   void Shutdown();

   // Everything below is used on the stream's executor only.
   std::shared_ptr<Asio::ByteStream> mStream;
   std::shared_ptr<HttpRequestHandler> mHandler;
   ServerSettings mSettings;
   Log::LoggerPtr mLogger;

   std::vector<char> mBuf;   // receive buffer; mFilled bytes are valid
   size_t mFilled = 0;
   size_t mHeaderLen = 0;    // 0 while the header block is incomplete
   size_t mBodyPos = 0;      // chunked: first byte not yet decoded
   size_t mRequestEnd = 0;   // end of the current request in mBuf
   std::string mMessage;     // first message of a streamed body
   bool mHaveMessage = false;
   PhrRequest mRequest;
   HttpMessageInfo mInfo;

   HttpServerReply mReply;   // keeps the written strings alive
   std::unique_ptr<GatheredMessage> mOut;
   std::vector<std::string> mFrames;
};

} // namespace Ruvo::Transport::PicoHttp
