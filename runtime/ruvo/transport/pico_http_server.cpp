#include "runtime/ruvo/transport/pico_http_server.h"

#include <sys/un.h>

#include <algorithm>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/strand.hpp>

#include "runtime/ruvo/transport/peer_credentials.h"
#include "runtime/ruvo/transport/pico_http_server_transport_helper.h"
#include "runtime/ruvo/transport/timeout_stream.h"
#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {

int AcceptRetryDelayMs(const boost::system::error_code &ec, int previousMs)
{
   if (ec.category() != boost::system::system_category()) {
      return -1;
   }
   switch (ec.value()) {
   case EMFILE:
   case ENFILE:
   case ENOBUFS:
   case ENOMEM:
      // Out of resources: give running connections a moment to finish, longer
      // each time it happens again.
      return previousMs <= 0 ? 100 : std::min(previousMs * 2, 3200);
   case ECONNABORTED:
   case EPROTO:
   case EPERM:
   case EINTR:
   case EAGAIN:
   case ENETDOWN:
   case ENOPROTOOPT:
   case EHOSTDOWN:
   case ENONET:
   case EHOSTUNREACH:
   case EOPNOTSUPP:
   case ENETUNREACH:
      return 0;
   default:
      return -1;
   }
}

template <typename Protocol>
PicoHttpServer<Protocol>::Listener::Listener(Acceptor a, Log::LoggerPtr log)
   : logger(std::move(log)), acceptor(std::move(a)), retry(acceptor.get_executor())
{
}

template <typename Protocol>
std::shared_ptr<PicoHttpServer<Protocol>> PicoHttpServer<Protocol>::Create(
   boost::asio::io_context &io, std::shared_ptr<HttpRequestHandler> handler, const ServerSettings &settings,
   Log::LoggerPtr logger, std::shared_ptr<boost::asio::ssl::context> tls)
{
   return std::shared_ptr<PicoHttpServer>(
      new PicoHttpServer(io, std::move(handler), settings, std::move(logger), std::move(tls)));
}

template <typename Protocol>
PicoHttpServer<Protocol>::PicoHttpServer(boost::asio::io_context &io, std::shared_ptr<HttpRequestHandler> handler,
                                         const ServerSettings &settings, Log::LoggerPtr logger,
                                         std::shared_ptr<boost::asio::ssl::context> tls)
   : mIo(io),
     mHandler(std::move(handler)),
     mSettings(settings),
     mLogger(std::move(logger)),
     mTls(std::move(tls)),
     mLoad(std::make_shared<ServerLoad>(settings.maxConnections, settings.maxBufferedBytes)),
     mWorker(settings.offloadBodyBytes > 0 ? std::make_shared<BodyWorker>() : nullptr)
{
}

template <typename Protocol>
PicoHttpServer<Protocol>::~PicoHttpServer()
{
   Close();
}

template <typename Protocol>
void PicoHttpServer<Protocol>::StartAccepting(Acceptor acceptor)
{
   auto listener = std::make_shared<Listener>(std::move(acceptor), mLogger);
   {
      std::lock_guard<std::mutex> guard(mLock);
      mListeners.push_back(listener);
   }
   Accept(listener);
}

template <typename Protocol>
void PicoHttpServer<Protocol>::Close()
{
   std::vector<std::shared_ptr<Listener>> listeners;
   {
      std::lock_guard<std::mutex> guard(mLock);
      listeners.swap(mListeners);
   }
   for (const auto &listener : listeners) {
      std::lock_guard<std::mutex> guard(listener->lock);
      listener->closed = true;
      boost::system::error_code ignored;
      listener->acceptor.close(ignored);
      listener->retry.cancel();
   }
}

template <typename Protocol>
std::vector<typename Protocol::endpoint> PicoHttpServer<Protocol>::LocalEndpoints()
{
   std::vector<typename Protocol::endpoint> out;
   std::lock_guard<std::mutex> guard(mLock);
   for (const auto &listener : mListeners) {
      std::lock_guard<std::mutex> listenerGuard(listener->lock);
      boost::system::error_code ec;
      auto ep = listener->acceptor.local_endpoint(ec);
      if (!ec) {
         out.push_back(ep);
      }
   }
   return out;
}

template <typename Protocol>
void PicoHttpServer<Protocol>::Accept(const std::shared_ptr<Listener> &listener)
{
   std::lock_guard<std::mutex> guard(listener->lock);
   if (listener->closed) {
      return;
   }
   // Each connection's socket lives on its own strand, so its handlers never overlap.
   // The listener (not the server) is held, so that dropping the server closes it.
   std::weak_ptr<PicoHttpServer> weak = this->shared_from_this();
   listener->acceptor.async_accept(
      boost::asio::make_strand(mIo),
      [weak, listener](const boost::system::error_code &ec, typename Protocol::socket socket) {
         if (auto self = weak.lock()) {
            self->Accepted(listener, ec, std::move(socket));
         } else if (ec) {
            // The server went away and closed the acceptor under this accept.
            Log::Write(listener->logger, Log::kError, "Accept Error: ", ec.category().name(), ":", ec.value());
         }
      });
}

template <typename Protocol>
void PicoHttpServer<Protocol>::Accepted(const std::shared_ptr<Listener> &listener,
                                        const boost::system::error_code &ec, typename Protocol::socket socket)
{
   if (!ec) {
      listener->retryMs = 0;
      Serve(std::move(socket));
      Accept(listener);
      return;
   }
   int delay = AcceptRetryDelayMs(ec, listener->retryMs);
   listener->retryMs = delay;
   // A failure that repeats (out of descriptors) is logged once in a while; the
   // one that stops the acceptor always.
   uint64_t suppressed = 0;
   if (delay < 0) {
      Log::Write(mLogger, Log::kError, "Accept Error: ", ec.category().name(), ":", ec.value());
   } else if (listener->errorLog.Allow(suppressed)) {
      Log::Write(mLogger, Log::kError, "Accept Error: ", ec.category().name(), ":", ec.value(), " (",
                 suppressed, " more since the last line)");
   }
   std::lock_guard<std::mutex> guard(listener->lock);
   if (delay < 0 || listener->closed) {
      return;
   }
   std::weak_ptr<PicoHttpServer> weak = this->shared_from_this();
   listener->retry.expires_after(std::chrono::milliseconds(delay));
   listener->retry.async_wait([weak, listener](const boost::system::error_code &timerEc) {
      auto self = weak.lock();
      if (self && !timerEc) {
         self->Accept(listener);
      }
   });
}

template <typename Protocol>
void PicoHttpServer<Protocol>::Serve(typename Protocol::socket socket)
{
   using Clock = std::chrono::steady_clock;
   uint64_t suppressed = 0;
   if (!mLoad->TryAddConnection()) {
      if (!mLoad->TakeSlotOfLongestWaiting()) {
         // Every slot is busy with a request: accepted only to be closed, so that
         // the peer learns at once and the backlog does not fill with it.
         if (mLoad->connectionLimitLog.Allow(suppressed)) {
            Log::Write(mLogger, Log::kWarning, "Connection refused: ", mSettings.maxConnections,
                       " connections held (", suppressed, " more refused since the last line)");
         }
         boost::system::error_code ignored;
         socket.close(ignored);
         return;
      }
      // A peer that holds a slot without sending its request gives way to a newer
      // one, so a flood of idle or slow connections cannot lock callers out.
      if (mLoad->evictionLog.Allow(suppressed)) {
         Log::Write(mLogger, Log::kWarning, "Connection limit reached: ", mSettings.maxConnections,
                    " connections held, closed the one waiting longest for its request (", suppressed,
                    " more since the last line)");
      }
   }
   auto slot = std::make_shared<ConnectionSlot>(mLoad);
   auto readLimit = std::chrono::duration_cast<Clock::duration>(mSettings.readLimit);
   auto writeLimit = std::chrono::duration_cast<Clock::duration>(mSettings.writeLimit);
   if constexpr (std::is_same_v<Protocol, boost::asio::ip::tcp>) {
      // Replies are one gathered write; waiting for more data to send only adds delay.
      boost::system::error_code ignored;
      socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
   }
   std::shared_ptr<HttpRequestHandler> handler = mHandler;
   if constexpr (std::is_same_v<Protocol, boost::asio::local::stream_protocol>) {
      // Local callers are known by their credentials; each call carries them.
      handler = HandlerForPeer(mHandler, socket.native_handle());
   }
   std::shared_ptr<Asio::ByteStream> stream;
   if (mTls) {
      using TlsStream = boost::asio::ssl::stream<typename Protocol::socket>;
      stream = Asio::TimeoutBaseStream<TlsStream>::Create(TlsStream(std::move(socket), *mTls), readLimit,
                                                          writeLimit);
   } else {
      stream = Asio::TimeoutBaseStream<typename Protocol::socket>::Create(std::move(socket), readLimit,
                                                                          writeLimit);
   }
   // Start runs on the connection's strand like everything after it.
   auto connection =
      PicoHttpServerTransportHelper::Create(stream, handler, mSettings, mLogger, std::move(slot), mWorker);
   stream->Post([connection] { connection->Start(); });
}

template class PicoHttpServer<boost::asio::ip::tcp>;
template class PicoHttpServer<boost::asio::local::stream_protocol>;

} // namespace Ruvo::Transport::PicoHttp

namespace Ruvo::Asio {

bool MakeLocalAcceptor(boost::asio::io_context &io, const std::string &path, int backlog,
                       boost::asio::local::stream_protocol::acceptor &out, boost::system::error_code &ec)
{
   using boost::asio::local::stream_protocol;
   if (path.empty()) {
      ec = Transport::PicoHttp::Error::server_failed_to_listen;
      return false;
   }
   // The endpoint constructor would throw on a path that does not fit sun_path.
   if (path.size() >= sizeof(sockaddr_un::sun_path)) {
      ec = boost::system::error_code(ENAMETOOLONG, boost::system::system_category());
      return false;
   }
   stream_protocol::acceptor acceptor(io);
   if (acceptor.open(stream_protocol(), ec) || acceptor.bind(stream_protocol::endpoint(path), ec) ||
       acceptor.listen(backlog, ec)) {
      return false;
   }
   out = std::move(acceptor);
   return true;
}

} // namespace Ruvo::Asio
