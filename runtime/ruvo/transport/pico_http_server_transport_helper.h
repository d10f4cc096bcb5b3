// One accepted server connection: reads requests, hands each to the request
// handler, writes the replies, and keeps the connection for the next request unless
// either side asked to close it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/transport/body_worker.h"
#include "runtime/ruvo/transport/byte_stream.h"
#include "runtime/ruvo/transport/http_request_handler.h"
#include "runtime/ruvo/transport/receive_buffer.h"
#include "runtime/ruvo/transport/server_load.h"
#include "runtime/ruvo/transport/server_settings.h"

namespace Ruvo::Transport::PicoHttp {

class PicoHttpServerTransportHelper
   : public std::enable_shared_from_this<PicoHttpServerTransportHelper> {
public:
   // slot: the server's connection slot (its load also caps the buffer); null for
   // a connection of its own. worker: where large bodies are handled; null keeps
   // every body on the connection's executor.
   static std::shared_ptr<PicoHttpServerTransportHelper> Create(
      std::shared_ptr<Asio::ByteStream> stream, std::shared_ptr<HttpRequestHandler> handler,
      const ServerSettings &settings, Log::LoggerPtr logger, std::shared_ptr<ConnectionSlot> slot = nullptr,
      std::shared_ptr<BodyWorker> worker = nullptr);
   ~PicoHttpServerTransportHelper();

   // TLS handshake where the stream has one, then the first request.
   void Start();

   // Text of the 400 reply.
   static constexpr std::string_view kBadRequestText = "Bad Request: no handler for this request\n";

private:
   PicoHttpServerTransportHelper(std::shared_ptr<Asio::ByteStream> stream,
                                 std::shared_ptr<HttpRequestHandler> handler, const ServerSettings &settings,
                                 Log::LoggerPtr logger, std::shared_ptr<ConnectionSlot> slot,
                                 std::shared_ptr<BodyWorker> worker);

   void NextRequest();
   void ReadMore(size_t atLeast, void (PicoHttpServerTransportHelper::*then)());
   void ParseHeader();
   void ReceiveRpcBody();
   void ReceiveRpcBodyNew();
   bool RefreshHeader();
   void Dispatch(std::string_view body);
   void Handle(std::string_view body, bool onWorker);
   void SendRpcResponse(HttpServerReply reply);
   void SendBadRequest();
   void Write(bool keepAlive);
   void RequestError(const boost::system::error_code &ec);
   void Shutdown();

   // Everything below is used on the stream's executor only.
   // (While a large body is handled on the worker, the connection does nothing
   // else, so the worker may read the buffer and the parsed request.)
   std::shared_ptr<Asio::ByteStream> mStream;
   std::shared_ptr<HttpRequestHandler> mHandler;
   ServerSettings mSettings;
   Log::LoggerPtr mLogger;
   std::shared_ptr<ConnectionSlot> mSlot;
   std::shared_ptr<BodyWorker> mWorker;

   ReceiveBuffer mBuf;       // mFilled bytes are valid
   size_t mFilled = 0;
   bool mAwaitingFirstByte = false;
   bool mClosedForRoom = false;  // closed to make room for a newer connection
   size_t mHeaderLen = 0;    // 0 while the header block is incomplete
   size_t mBodyPos = 0;      // chunked: first byte not yet decoded
   size_t mDecodedEnd = 0;   // chunked: end of the payload decoded in place after the header
   size_t mMessages = 0;     // chunked: chunks seen
   size_t mRequestEnd = 0;   // end of the current request in mBuf
   PhrRequest mRequest;
   HttpMessageInfo mInfo;

   HttpServerReply mReply;   // keeps the written strings alive
   std::unique_ptr<GatheredMessage> mOut;
   std::vector<std::string> mFrames;
};

} // namespace Ruvo::Transport::PicoHttp
