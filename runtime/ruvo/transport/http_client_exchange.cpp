#include "runtime/ruvo/transport/http_client_exchange.h"

#include <boost/asio/error.hpp>

#include "runtime/ruvo/transport/phr_chunked_decoder.h"
#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {

void HttpClientExchange::Run(std::shared_ptr<Asio::ByteStream> stream, std::string host, std::string body,
                             const ClientLimits &limits, Log::LoggerPtr logger, ClientExchangeCb done)
{
   std::shared_ptr<HttpClientExchange> exchange(new HttpClientExchange(
      std::move(stream), std::move(host), std::move(body), limits, std::move(logger), std::move(done)));
   exchange->Send();
}

HttpClientExchange::HttpClientExchange(std::shared_ptr<Asio::ByteStream> stream, std::string host,
                                       std::string body, const ClientLimits &limits, Log::LoggerPtr logger,
                                       ClientExchangeCb done)
   : mStream(std::move(stream)),
     mHost(std::move(host)),
     mBody(std::move(body)),
     mLimits(limits),
     mLogger(std::move(logger)),
     mDone(std::move(done))
{
   Log::Write(mLogger, Log::kDebug, "HttpInTransport<Recv> created");
}

HttpClientExchange::~HttpClientExchange()
{
   Log::Write(mLogger, Log::kDebug, "HttpInTransport<Recv> destroyed");
}

void HttpClientExchange::Send()
{
   Log::Write(mLogger, Log::kDebug, "Client HandleFrame<Send>");
   BuildClientRequest(mRequest, mHost, mBody);
   // Head and a small body in one piece: one TLS record and one segment, not two.
   mStream->AsyncWrite(mRequest.Coalesced(), [self = shared_from_this()](const boost::system::error_code &ec, size_t) {
      if (ec) {
         self->Fail(ClientPhase::Send, ec);
         return;
      }
      self->ParseHeader();
   });
}

// Grows the buffer by one step (never past the ceiling) and reads into it. The end
// of stream is noted rather than failed: the caller decides whether it is early.
void HttpClientExchange::ReadMore(void (HttpClientExchange::*then)())
{
   if (mEof) {
      Fail(ClientPhase::Recv, Error::incomplete_frame);
      return;
   }
   if (mFilled + kReadStep > mLimits.maxResponseBytes) {
      Fail(ClientPhase::Recv, Error::http_request_too_long);
      return;
   }
   if (mBuf.size() < mFilled + kReadStep) {
      mBuf.resize(mFilled + kReadStep);
   }
   mStream->AsyncReadSome(boost::asio::buffer(mBuf.data() + mFilled, kReadStep),
                          [self = shared_from_this(), then](const boost::system::error_code &ec, size_t n) {
                             Log::Write(self->mLogger, Log::kDebug, "Client HandleFrameCb<Recv>");
                             if (Asio::IsEndOfStream(ec)) {
                                self->mEof = true;
                             } else if (ec) {
                                self->Fail(ClientPhase::Recv, ec);
                                return;
                             }
                             self->mFilled += n;
                             ((*self).*then)();
                          });
}

void HttpClientExchange::ParseHeader()
{
   long rc = mFilled == 0 ? kPhrIncomplete : PhrParse(mBuf.data(), mFilled, mResponse);
   if (rc == kPhrError) {
      Fail(ClientPhase::Recv, Error::parse_error);
      return;
   }
   if (rc == kPhrIncomplete) {
      if (mFilled >= mLimits.maxHeaderBytes) {
         Fail(ClientPhase::Recv, Error::http_headers_too_long);
         return;
      }
      if (mEof) {
         Fail(ClientPhase::Recv, mFilled == 0 ? boost::system::error_code(boost::asio::error::eof)
                                              : boost::system::error_code(Error::parse_error));
         return;
      }
      ReadMore(&HttpClientExchange::ParseHeader);
      return;
   }
   mHeaderLen = static_cast<size_t>(rc);
   mResult.status = mResponse.status;
   TolowerAndSortHeaders(mResponse.headers);
   if (auto ec = AnnotateResponse(mResponse.headers, mInfo)) {
      Fail(ClientPhase::Recv, ec);
      return;
   }
   if (!mInfo.hasContentLength && !mInfo.chunked) {
      Log::Write(mLogger, Log::kWarning, "HandleFrameCb<Recv>[", static_cast<const void *>(this), "]",
                 "Missing ContentLength");
      Fail(ClientPhase::Recv, Error::parse_error);
      return;
   }
   // A single JSON message may come whole or chunked; a stream of messages only
   // chunked.
   bool supported = mInfo.streaming ? mInfo.chunked : IsRecognisedContentType(mInfo.contentType);
   if (!supported) {
      Log::Write(mLogger, Log::kWarning, "HandleFrameCb<Recv>[", static_cast<const void *>(this), "]",
                 "Unsupported content:", mInfo.contentType, " TransferEncoding: ", mInfo.transferEncoding);
      Fail(ClientPhase::Recv, Error::unsupported_content);
      return;
   }
   mBodyPos = mHeaderLen;
   if (mInfo.chunked) {
      ReadChunks();
   } else {
      if (mInfo.contentLength > mLimits.maxResponseBytes - mHeaderLen) {
         Fail(ClientPhase::Recv, Error::http_request_too_long);
         return;
      }
      ReadWholeBody();
   }
}

void HttpClientExchange::ReadWholeBody()
{
   size_t end = mHeaderLen + static_cast<size_t>(mInfo.contentLength);
   if (mFilled < end) {
      ReadMore(&HttpClientExchange::ReadWholeBody);
      return;
   }
   if (end > mHeaderLen) {
      mResult.messages.emplace_back(mBuf.data() + mHeaderLen, end - mHeaderLen);
   }
   Succeed();
}

void HttpClientExchange::ReadChunks()
{
   for (;;) {
      std::string_view rest(mBuf.data() + mBodyPos, mFilled - mBodyPos);
      auto r = PhrChunkedDecoder::Decode(rest, mLimits.maxResponseBytes - mBodyPos);
      switch (r.status) {
      case PhrChunkedDecoder::Status::Chunk:
         if (mInfo.streaming || mResult.messages.empty()) {
            mResult.messages.emplace_back(r.payload);
         } else {
            // One JSON message split over several chunks.
            mResult.messages.back().append(r.payload);
         }
         mBodyPos += r.consumed;
         continue;
      case PhrChunkedDecoder::Status::End:
         Succeed();
         return;
      case PhrChunkedDecoder::Status::NeedMore:
         ReadMore(&HttpClientExchange::ReadChunks);
         return;
      case PhrChunkedDecoder::Status::Error:
         Fail(ClientPhase::Recv, r.error);
         return;
      }
   }
}

void HttpClientExchange::Succeed()
{
   mStream->Close();
   if (mResult.messages.empty()) {
      Fail(ClientPhase::Recv, Error::end_of_body, "empty frame");
      return;
   }
   auto done = std::move(mDone);
   done(std::move(mResult));
}

void HttpClientExchange::Fail(ClientPhase phase, const boost::system::error_code &ec, std::string text)
{
   Log::Write(mLogger, Log::kDebug, "IO error: ", ec.message());
   mStream->Close();
   mResult.error = ec;
   mResult.phase = phase;
   mResult.errorText = std::move(text);
   mResult.messages.clear();
   auto done = std::move(mDone);
   if (done) {
      done(std::move(mResult));
   }
}

} // namespace Ruvo::Transport::PicoHttp
