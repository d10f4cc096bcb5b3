#include "runtime/ruvo/transport/pico_http_server_transport_helper.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <thread>

#include <boost/asio/error.hpp>

#include "runtime/ruvo/transport/phr_chunked_decoder.h"
#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

constexpr size_t kReadStep = 4096;

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
   const ServerSettings &settings, Log::LoggerPtr logger, std::shared_ptr<ConnectionSlot> slot,
   std::shared_ptr<BodyWorker> worker)
{
   std::shared_ptr<PicoHttpServerTransportHelper> helper(new PicoHttpServerTransportHelper(
      std::move(stream), std::move(handler), settings, std::move(logger), std::move(slot), std::move(worker)));
   if (helper->mSlot) {
      // Closing to make room for a newer connection happens on this one's executor.
      std::weak_ptr<PicoHttpServerTransportHelper> weak = helper;
      helper->mSlot->SetClose([weak] {
         if (auto self = weak.lock()) {
            self->mStream->Post([self] {
               // Logged (rate-limited) by the server, not once per connection here.
               self->mClosedForRoom = true;
               self->Shutdown();
            });
         }
      });
   }
   return helper;
}

PicoHttpServerTransportHelper::PicoHttpServerTransportHelper(
   std::shared_ptr<Asio::ByteStream> stream, std::shared_ptr<HttpRequestHandler> handler,
   const ServerSettings &settings, Log::LoggerPtr logger, std::shared_ptr<ConnectionSlot> slot,
   std::shared_ptr<BodyWorker> worker)
   : mStream(std::move(stream)),
     mHandler(std::move(handler)),
     mSettings(settings),
     mLogger(std::move(logger)),
     mSlot(std::move(slot)),
     mWorker(std::move(worker)),
     mBuf(mSlot ? mSlot->Shared() : nullptr, ServerSettings::kOwnBufferBytes)
{
   Log::Write(mLogger, Log::kDebug, "PicoHttpServerTransportHelper<", "Recv", "> created");
}

PicoHttpServerTransportHelper::~PicoHttpServerTransportHelper()
{
   Log::Write(mLogger, Log::kDebug, "PicoHttpServerTransportHelper<", "Recv", "> destroyed");
}

void PicoHttpServerTransportHelper::Start()
{
   if (mSlot) {
      mSlot->Waiting();
   }
   // A peer that connects and says nothing is bounded like an idle one.
   mStream->BeginReadWindow(std::min(mSettings.idleLimit, mSettings.readLimit));
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
   // Bytes of a pipelined next request stay; everything before them goes, and so
   // does a buffer grown for a large body.
   if (mRequestEnd > 0) {
      mBuf.Compact(mRequestEnd, mFilled);
      mFilled -= mRequestEnd;
   }
   mHeaderLen = 0;
   mBodyPos = 0;
   mDecodedEnd = 0;
   mMessages = 0;
   mRequestEnd = 0;
   mReply = HttpServerReply();
   mOut.reset();
   mFrames.clear();
   // Waiting for a request that has not begun is bounded by the idle limit; from
   // its first byte the whole request has the read limit.
   mAwaitingFirstByte = mFilled == 0;
   if (mSlot) {
      mSlot->Waiting();
   }
   mStream->BeginReadWindow(mAwaitingFirstByte ? std::min(mSettings.idleLimit, mSettings.readLimit)
                                               : mSettings.readLimit);
   ParseHeader();
}

// Reads at least one more byte, then continues with `then`. The buffer grows
// towards atLeast free bytes, but never by more than what has already arrived (a
// length that a header claims costs nothing until its bytes come); the request
// limit caps it, and so does the server's shared cap on buffered bytes.
void PicoHttpServerTransportHelper::ReadMore(size_t atLeast, void (PicoHttpServerTransportHelper::*then)())
{
   size_t step = std::max(kReadStep, std::min(atLeast, mFilled));
   size_t want = std::min(mSettings.maxRequestBytes, mFilled + step);
   if (want <= mFilled) {
      RequestError(Error::http_request_too_long);
      return;
   }
   if (mBuf.Capacity() < want && !mBuf.Grow(want, mFilled)) {
      uint64_t suppressed = 0;
      if (mSlot && mSlot->Load().bufferLimitLog.Allow(suppressed)) {
         Log::Write(mLogger, Log::kWarning, "Request refused: the server's receive buffers are full (",
                    suppressed, " more refused since the last line)");
      }
      Shutdown();
      return;
   }
   mStream->AsyncReadSome(boost::asio::buffer(mBuf.Data() + mFilled, mBuf.Capacity() - mFilled),
                          [self = shared_from_this(), then](const boost::system::error_code &ec, size_t n) {
                             if (ec) {
                                self->RequestError(ec);
                                return;
                             }
                             if (self->mAwaitingFirstByte && n > 0) {
                                self->mAwaitingFirstByte = false;
                                self->mStream->ExtendReadWindow(self->mSettings.readLimit);
                             }
                             self->mFilled += n;
                             ((*self).*then)();
                          });
}

void PicoHttpServerTransportHelper::ParseHeader()
{
   long rc = mFilled == 0 ? kPhrIncomplete : PhrParse(mBuf.Data(), mFilled, mRequest);
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
      if (ec == Error::http_protocol_error) {
         // Framing the two sides could read differently: refuse it in so many words.
         mRequestEnd = mFilled;
         mStream->EndReadWindow();
         SendBadRequest();
         return;
      }
      RequestError(ec);
      return;
   }
   // The transfer encoding decides the framing; the content type only how many
   // messages the body holds.
   if (mInfo.chunked) {
      mBodyPos = mHeaderLen;
      mDecodedEnd = mHeaderLen;
      ReceiveRpcBody();
   } else {
      if (mInfo.contentLength > mSettings.maxRequestBytes - mHeaderLen) {
         RequestError(Error::http_request_too_long);
         return;
      }
      ReceiveRpcBodyNew();
   }
}

// Chunked body (ReadChunkedFramedBody). Chunks are decoded in place, right after
// the header block: a streamed content type carries one message per chunk (the
// first is the request, any further ones are read and dropped); any other content
// type carries one message split over the chunks.
void PicoHttpServerTransportHelper::ReceiveRpcBody()
{
   for (;;) {
      std::string_view rest(mBuf.Data() + mBodyPos, mFilled - mBodyPos);
      auto r = PhrChunkedDecoder::Decode(rest, mSettings.maxRequestBytes - mBodyPos);
      switch (r.status) {
      case PhrChunkedDecoder::Status::Chunk:
         if (!mInfo.streaming || mMessages == 0) {
            std::memmove(mBuf.Data() + mDecodedEnd, r.payload.data(), r.payload.size());
            mDecodedEnd += r.payload.size();
         }
         ++mMessages;
         mBodyPos += r.consumed;
         continue;
      case PhrChunkedDecoder::Status::End:
         mBodyPos += r.consumed;
         if (mDecodedEnd == mHeaderLen) {
            RequestError(Error::end_of_body);
            return;
         }
         mRequestEnd = mBodyPos;
         if (!RefreshHeader()) {
            return;
         }
         Dispatch(std::string_view(mBuf.Data() + mHeaderLen, mDecodedEnd - mHeaderLen));
         return;
      case PhrChunkedDecoder::Status::NeedMore:
         // The body's size is unknown: let the buffer double with what arrives.
         ReadMore(SIZE_MAX, &PicoHttpServerTransportHelper::ReceiveRpcBody);
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
   Dispatch(std::string_view(mBuf.Data() + mHeaderLen, end - mHeaderLen));
}

// The buffer may have moved while the body arrived; parse the (unchanged) header
// block again so that its views point into the current buffer.
bool PicoHttpServerTransportHelper::RefreshHeader()
{
   if (PhrParse(mBuf.Data(), mHeaderLen, mRequest) != static_cast<long>(mHeaderLen)) {
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
   if (mSlot) {
      mSlot->Busy();
   }
   Log::Write(mLogger, Log::kDebug, "HandleFrame<", "Recv", ">");
   if (mRequest.method != "POST" || !IsRecognisedContentType(mInfo.contentType)) {
      SendBadRequest();
      return;
   }
   if (mWorker && mSettings.offloadBodyBytes > 0 && body.size() > mSettings.offloadBodyBytes) {
      mWorker->Run([self = shared_from_this(), body] { self->Handle(body, true); });
      return;
   }
   Handle(body, false);
}

// Runs on the connection's executor, or on the body worker while the connection
// waits; either way nothing else touches the connection until the reply is posted.
void PicoHttpServerTransportHelper::Handle(std::string_view body, bool onWorker)
{
   // The handler may answer before Handle returns, or later from another thread;
   // either way the reply is written from this connection's executor, once.
   // A reply given on this thread before Handle returns is kept and written right
   // after it, without another trip through the executor.
   struct Pending {
      std::atomic<bool> replied{false};
      std::thread::id caller = std::this_thread::get_id();
      bool open = true; // touched by the calling thread only
      std::optional<HttpServerReply> kept;
   };
   auto pending = std::make_shared<Pending>();
   HttpServerRequest request{mRequest, mInfo, body};
   bool taken = mHandler->Handle(request, [self = shared_from_this(), pending](HttpServerReply reply) {
      if (pending->replied.exchange(true)) {
         return;
      }
      if (std::this_thread::get_id() == pending->caller && pending->open) {
         pending->kept.emplace(std::move(reply));
         return;
      }
      auto held = std::make_shared<HttpServerReply>(std::move(reply));
      self->mStream->Post([self, held] { self->SendRpcResponse(std::move(*held)); });
   });
   pending->open = false;
   if (pending->kept) {
      if (onWorker) {
         // On the body worker: the reply is written from the connection's executor.
         auto held = std::make_shared<HttpServerReply>(std::move(*pending->kept));
         mStream->Post([self = shared_from_this(), held] { self->SendRpcResponse(std::move(*held)); });
         return;
      }
      SendRpcResponse(std::move(*pending->kept));
      return;
   }
   if (!taken && !pending->replied.exchange(true)) {
      mStream->Post([self = shared_from_this()] { self->SendBadRequest(); });
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
   mStream->AsyncWrite(mOut->Coalesced(), [self = shared_from_this(), keepAlive](
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
   bool quiet = Asio::IsEndOfStream(ec) || mClosedForRoom ||
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
   if (mSlot) {
      mSlot->Busy();
   }
   mStream->EndReadWindow();
   mStream->Close();
}

} // namespace Ruvo::Transport::PicoHttp
