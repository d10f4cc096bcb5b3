#include "runtime/ruvo/transport/pico_http_server_transport_helper.h"

#include <algorithm>

#include <boost/asio/error.hpp>

#include "runtime/ruvo/transport/phr_chunked_decoder.h"
#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

constexpr size_t kReadStep = 4096;
// A connection keeps at most this much buffer between requests.
constexpr size_t kIdleBufferKeep = 65536;

std::string_view ReplyContentType(const HttpMessageInfo &info, bool framed)
{
   bool clean = IsCleanContentType(info.contentType);
   if (framed) {
      return clean ? kCleanStreamContentType : kStreamContentType;
   }
   return clean ? kCleanJsonContentType : kJsonContentType;
}

} // namespace

std::shared_ptr<PicoHttpServerTransportHelper> PicoHttpServerTransportHelper::Create(
   std::shared_ptr<Asio::ByteStream> stream, std::shared_ptr<HttpRequestHandler> handler,
   const ServerSettings &settings, Log::LoggerPtr logger)
{
   return std::shared_ptr<PicoHttpServerTransportHelper>(new PicoHttpServerTransportHelper(
      std::move(stream), std::move(handler), settings, std::move(logger)));
}

PicoHttpServerTransportHelper::PicoHttpServerTransportHelper(
   std::shared_ptr<Asio::ByteStream> stream, std::shared_ptr<HttpRequestHandler> handler,
   const ServerSettings &settings, Log::LoggerPtr logger)
   : mStream(std::move(stream)),
     mHandler(std::move(handler)),
     mSettings(settings),
     mLogger(std::move(logger))
{
   Log::Write(mLogger, Log::kDebug, "PicoHttpServerTransportHelper<", "Recv", "> created");
}

PicoHttpServerTransportHelper::~PicoHttpServerTransportHelper()
{
   Log::Write(mLogger, Log::kDebug, "PicoHttpServerTransportHelper<", "Recv", "> destroyed");
}

void PicoHttpServerTransportHelper::Start()
{
   mStream->BeginReadWindow();
   mStream->AsyncStart(Asio::StreamRole::Server,
                       [self = shared_from_this()](const boost::system::error_code &ec) {
                          if (ec) {
                             Log::Write(self->mLogger, Log::kDebug, "TLS handshake failed: ", ec.message());
                             self->Shutdown();
                             return;
                          }
                          self->NextRequest();
                       });
}

void PicoHttpServerTransportHelper::NextRequest()
{
   // Bytes of a pipelined next request stay; everything before them goes.
   if (mRequestEnd > 0) {
      size_t left = mFilled - mRequestEnd;
      if (mBuf.capacity() > kIdleBufferKeep) {
         std::vector<char> fresh(mBuf.begin() + static_cast<ptrdiff_t>(mRequestEnd),
                                 mBuf.begin() + static_cast<ptrdiff_t>(mFilled));
         mBuf.swap(fresh);
      } else {
         std::copy(mBuf.begin() + static_cast<ptrdiff_t>(mRequestEnd),
                   mBuf.begin() + static_cast<ptrdiff_t>(mFilled), mBuf.begin());
      }
      mFilled = left;
   }
   mHeaderLen = 0;
   mBodyPos = 0;
   mRequestEnd = 0;
   mMessage.clear();
   mHaveMessage = false;
   mReply = HttpServerReply();
   mOut.reset();
   mFrames.clear();
   mStream->BeginReadWindow();
   ParseHeader();
}

// Reads at least one more byte, growing the buffer towards atLeast free bytes, then
// continues with `then`. The request limit caps the buffer.
void PicoHttpServerTransportHelper::ReadMore(size_t atLeast, void (PicoHttpServerTransportHelper::*then)())
{
   size_t want = std::min(mSettings.maxRequestBytes, mFilled + std::max(atLeast, kReadStep));
   if (want <= mFilled) {
      RequestError(Error::http_request_too_long);
      return;
   }
   if (mBuf.size() < want) {
      mBuf.resize(want);
   }
   mStream->AsyncReadSome(boost::asio::buffer(mBuf.data() + mFilled, mBuf.size() - mFilled),
                          [self = shared_from_this(), then](const boost::system::error_code &ec, size_t n) {
                             if (ec) {
                                self->RequestError(ec);
                                return;
                             }
                             self->mFilled += n;
                             ((*self).*then)();
                          });
}

void PicoHttpServerTransportHelper::ParseHeader()
{
   long rc = mFilled == 0 ? kPhrIncomplete : PhrParse(mBuf.data(), mFilled, mRequest);
   if (rc == kPhrError) {
      RequestError(Error::parse_error);
      return;
   }
   if (rc == kPhrIncomplete) {
      if (mFilled >= std::min(mSettings.maxHeaderBytes, mSettings.maxRequestBytes)) {
         RequestError(Error::http_headers_too_long);
         return;
      }
      ReadMore(kReadStep, &PicoHttpServerTransportHelper::ParseHeader);
      return;
   }
   mHeaderLen = static_cast<size_t>(rc);
   TolowerAndSortHeaders(mRequest.headers);
   if (auto ec = AnnotateRequest(mRequest.headers, mInfo)) {
      RequestError(ec);
      return;
   }
   if (mInfo.streaming) {
      mBodyPos = mHeaderLen;
      ReceiveRpcBody();
   } else {
      if (mInfo.contentLength > mSettings.maxRequestBytes - mHeaderLen) {
         RequestError(Error::http_request_too_long);
         return;
      }
      ReceiveRpcBodyNew();
   }
}

// Streamed body (ReadChunkedFramedBody): one message per chunk. The first message
// is the request; any further ones are read and dropped.
void PicoHttpServerTransportHelper::ReceiveRpcBody()
{
   for (;;) {
      std::string_view rest(mBuf.data() + mBodyPos, mFilled - mBodyPos);
      auto r = PhrChunkedDecoder::Decode(rest, mSettings.maxRequestBytes - mBodyPos);
      switch (r.status) {
      case PhrChunkedDecoder::Status::Chunk:
         if (!mHaveMessage) {
            mMessage.assign(r.payload);
            mHaveMessage = true;
         }
         mBodyPos += r.consumed;
         continue;
      case PhrChunkedDecoder::Status::End:
         mBodyPos += r.consumed;
         if (!mHaveMessage) {
            RequestError(Error::end_of_body);
            return;
         }
         mRequestEnd = mBodyPos;
         if (!RefreshHeader()) {
            return;
         }
         Dispatch(mMessage);
         return;
      case PhrChunkedDecoder::Status::NeedMore:
         ReadMore(kReadStep, &PicoHttpServerTransportHelper::ReceiveRpcBody);
         return;
      case PhrChunkedDecoder::Status::Error:
         RequestError(r.error);
         return;
      }
   }
}

// Whole body (WholeBodyReader): exactly content-length bytes.
void PicoHttpServerTransportHelper::ReceiveRpcBodyNew()
{
   size_t end = mHeaderLen + static_cast<size_t>(mInfo.contentLength);
   if (mFilled < end) {
      ReadMore(end - mFilled, &PicoHttpServerTransportHelper::ReceiveRpcBodyNew);
      return;
   }
   mRequestEnd = end;
   if (!RefreshHeader()) {
      return;
   }
   Dispatch(std::string_view(mBuf.data() + mHeaderLen, end - mHeaderLen));
}

// The buffer may have moved while the body arrived; parse the (unchanged) header
// block again so that its views point into the current buffer.
bool PicoHttpServerTransportHelper::RefreshHeader()
{
   if (PhrParse(mBuf.data(), mHeaderLen, mRequest) != static_cast<long>(mHeaderLen)) {
      RequestError(Error::parse_error);
      return false;
   }
   TolowerAndSortHeaders(mRequest.headers);
   bool chunked = mInfo.chunked;
   (void)AnnotateRequest(mRequest.headers, mInfo);
   mInfo.chunked = chunked;
   return true;
}

void PicoHttpServerTransportHelper::Dispatch(std::string_view body)
{
   mStream->EndReadWindow();
   Log::Write(mLogger, Log::kDebug, "HandleFrame<", "Recv", ">");
   if (mRequest.method != "POST" || !IsRecognisedContentType(mInfo.contentType)) {
      SendBadRequest();
      return;
   }
   // The handler may answer before Handle returns, or later from another thread;
   // either way the reply is written from this connection's executor, once.
   auto replied = std::make_shared<std::atomic<bool>>(false);
   HttpServerRequest request{mRequest, mInfo, body};
   bool taken = mHandler->Handle(request, [self = shared_from_this(), replied](HttpServerReply reply) {
      if (replied->exchange(true)) {
         return;
      }
      auto held = std::make_shared<HttpServerReply>(std::move(reply));
      self->mStream->Post([self, held] { self->SendRpcResponse(std::move(*held)); });
   });
   if (!taken && !replied->exchange(true)) {
      SendBadRequest();
   }
}

void PicoHttpServerTransportHelper::SendRpcResponse(HttpServerReply reply)
{
   mReply = std::move(reply);
   // Header text from an error value must not be able to add lines of its own.
   std::erase_if(mReply.extraHeaders, [](const auto &h) {
      return !IsHeaderNameSafe(h.first) || !IsHeaderValueSafe(h.second);
   });
   mOut = std::make_unique<GatheredMessage>();
   if (mReply.httpStatus) {
      if (!IsHeaderValueSafe(mReply.statusMessage)) {
         mReply.statusMessage = "Error";
      }
      BuildStatusReply(*mOut, mReply.status, mReply.statusMessage, mReply.body);
      Write(false);
      return;
   }
   bool keepAlive = mInfo.keepAlive;
   if (mInfo.peerAcceptsStreaming) {
      // SendAsFramedChunk
      mFrames.push_back(std::move(mReply.body));
      BuildFramedChunkReply(*mOut, ReplyContentType(mInfo, true), keepAlive, mReply.extraHeaders, mFrames);
   } else {
      // SendAsBody
      BuildBodyReply(*mOut, ReplyContentType(mInfo, false), keepAlive, mReply.extraHeaders, mReply.body);
   }
   Write(keepAlive);
}

void PicoHttpServerTransportHelper::SendBadRequest()
{
   mOut = std::make_unique<GatheredMessage>();
   BuildBadRequestReply(*mOut, kBadRequestText);
   Write(false);
}

void PicoHttpServerTransportHelper::Write(bool keepAlive)
{
   Log::Write(mLogger, Log::kDebug, "HandleFrame<", "Send", ">");
   mStream->AsyncWrite(mOut->Buffers(), [self = shared_from_this(), keepAlive](
                                           const boost::system::error_code &ec, size_t) {
      if (ec) {
         Log::Write(self->mLogger, Log::kDebug, "IO error: ", ec.message());
         self->Shutdown();
         return;
      }
      if (keepAlive) {
         self->NextRequest();
      } else {
         self->Shutdown();
      }
   });
}

void PicoHttpServerTransportHelper::RequestError(const boost::system::error_code &ec)
{
   // The peer went away, or an idle keep-alive connection ran out its time before
   // sending anything: not worth a line.
   bool quiet = Asio::IsEndOfStream(ec) ||
                (ec == boost::asio::error::operation_aborted && mFilled == 0);
   if (!quiet) {
      Log::Write(mLogger, Log::kInfo, "Invalid Http request");
      Log::Write(mLogger, Log::kDebug, "Invalid Http request: ", ec.category().name(), ":", ec.value(),
                 " ", ec.message());
   }
   Shutdown();
}

void PicoHttpServerTransportHelper::Shutdown()
{
   mStream->EndReadWindow();
   mStream->Close();
}

} // namespace Ruvo::Transport::PicoHttp
