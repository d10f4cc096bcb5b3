// Accept loop of a server endpoint: every accepted connection gets its own stream
// (with the endpoint's time limits, and TLS when the endpoint has a context) and a
// PicoHttpServerTransportHelper. The listening sockets are opened by the endpoint;
// this only accepts on them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/transport/body_worker.h"
#include "runtime/ruvo/transport/http_request_handler.h"
#include "runtime/ruvo/transport/server_load.h"
#include "runtime/ruvo/transport/server_settings.h"

namespace Ruvo::Transport::PicoHttp {

// Whether an accept failure is worth another try (the peer gave up, or the process
// ran out of descriptors or memory for a moment) and how long to wait first; a
// negative delay means the acceptor stops. `previousMs` is the delay used after
// the failure before (0 after a success): running out of resources again doubles
// it, up to a few seconds.
int AcceptRetryDelayMs(const boost::system::error_code &ec, int previousMs = 0);

template <typename Protocol>
class PicoHttpServer : public std::enable_shared_from_this<PicoHttpServer<Protocol>> {
public:
   using Acceptor = typename Protocol::acceptor;

   // tls: null for plain HTTP.
   static std::shared_ptr<PicoHttpServer> Create(boost::asio::io_context &io,
                                                 std::shared_ptr<HttpRequestHandler> handler,
                                                 const ServerSettings &settings, Log::LoggerPtr logger,
                                                 std::shared_ptr<boost::asio::ssl::context> tls = nullptr);
   ~PicoHttpServer();

   // Starts accepting on a listening acceptor; the server keeps it until Close.
   void StartAccepting(Acceptor acceptor);
   // Closes every acceptor; their pending accepts end ("Accept Error: " each).
   void Close();
   // Local endpoints of the acceptors (tests pick port 0).
   std::vector<typename Protocol::endpoint> LocalEndpoints();
   // Connections held and receive-buffer bytes charged, now.
   const ServerLoad &Load() const { return *mLoad; }

private:
   struct Listener {
      Listener(Acceptor a, Log::LoggerPtr log);
      std::mutex lock;
      Log::LoggerPtr logger;        // outlives the server for the last accept's line
      Acceptor acceptor;            // guarded by lock
      bool closed = false;          // guarded by lock
      boost::asio::steady_timer retry;
      int retryMs = 0;              // used by the accept chain only (one at a time)
      LogRateLimiter errorLog{std::chrono::seconds(10)};
   };

   PicoHttpServer(boost::asio::io_context &io, std::shared_ptr<HttpRequestHandler> handler,
                  const ServerSettings &settings, Log::LoggerPtr logger,
                  std::shared_ptr<boost::asio::ssl::context> tls);
   void Accept(const std::shared_ptr<Listener> &listener);
   void Accepted(const std::shared_ptr<Listener> &listener, const boost::system::error_code &ec,
                 typename Protocol::socket socket);
   void Serve(typename Protocol::socket socket);

   boost::asio::io_context &mIo;
   std::shared_ptr<HttpRequestHandler> mHandler;
   ServerSettings mSettings;
   Log::LoggerPtr mLogger;
   std::shared_ptr<boost::asio::ssl::context> mTls;
   std::shared_ptr<ServerLoad> mLoad;
   std::shared_ptr<BodyWorker> mWorker; // null when no body is handed off
   std::mutex mLock;
   std::vector<std::shared_ptr<Listener>> mListeners; // guarded by mLock
};

using AsioTcpApiServer = PicoHttpServer<boost::asio::ip::tcp>;
using AsioLocalApiServer = PicoHttpServer<boost::asio::local::stream_protocol>;

extern template class PicoHttpServer<boost::asio::ip::tcp>;
extern template class PicoHttpServer<boost::asio::local::stream_protocol>;

} // namespace Ruvo::Transport::PicoHttp

namespace Ruvo::Asio {

// A listening Unix domain stream socket at path (backlog given). An empty path is
// code 8 (server failed to listen) of the transport category; a failed open, bind
// or listen is its system error.
bool MakeLocalAcceptor(boost::asio::io_context &io, const std::string &path, int backlog,
                       boost::asio::local::stream_protocol::acceptor &out, boost::system::error_code &ec);

} // namespace Ruvo::Asio
