// Test helpers: a blocking byte-level client with deadlines, an I/O context on
// threads, an echoing request handler, servers on loopback ports and TLS peers.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <gtest/gtest.h>

#include "runtime/ruvo/transport/http_request_handler.h"
#include "runtime/ruvo/transport/pico_http_server.h"
#include "runtime/ruvo/transport/testing/recording_logger.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/support/process.h"

namespace TransportTesting {

// Connects to 127.0.0.1:port (or a Unix socket path); -1 descriptor on failure.
class RawClient {
public:
   explicit RawClient(int port);
   explicit RawClient(const std::string &unixPath);
   ~RawClient();
   RawClient(const RawClient &) = delete;
   RawClient &operator=(const RawClient &) = delete;

   bool Connected() const { return mFd >= 0; }
   bool Send(const std::string &bytes);
   // Reads until `count` bytes arrived, the peer closed, or the deadline passed.
   std::string Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
   // Reads until the peer closes (true) or the deadline passes (false).
   bool ReadUntilClosed(std::string &out, std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
   // Reads until `count` bytes arrived (false), the peer closed (true) or the deadline passed (false).
   bool ReadUpTo(std::string &out, size_t count, std::chrono::milliseconds timeout);
   int mFd = -1;
};

class IoThreads {
public:
   explicit IoThreads(int threads = 2);
   ~IoThreads();
   boost::asio::io_context &Io() { return mIo; }
   void Stop();

private:
   boost::asio::io_context mIo;
   boost::asio::executor_work_guard<boost::asio::io_context::executor_type> mWork;
   std::vector<std::thread> mThreads;
};

// Replies with the request body (or a fixed reply), from the calling thread.
class EchoHandler : public Ruvo::Transport::PicoHttp::HttpRequestHandler {
public:
   bool Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
               Ruvo::Transport::PicoHttp::HttpReplyCb reply) override;
};

std::string BodyReply(const std::string &body, bool keepAlive);
std::string Post(const std::string &body, const std::string &extraHeaders = "");
// Sends one POST and checks the echoed reply.
bool Served(RawClient &client, const std::string &body);

using TcpServer = Ruvo::Transport::PicoHttp::AsioTcpApiServer;
using ContextPtr = std::shared_ptr<boost::asio::ssl::context>;

// A server accepting on `acceptors` loopback listeners of its own.
std::shared_ptr<TcpServer> Listen(boost::asio::io_context &io,
                                  std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler> handler,
                                  const Ruvo::Transport::PicoHttp::ServerSettings &settings = {},
                                  Ruvo::Log::LoggerPtr logger = nullptr, ContextPtr tls = nullptr, int acceptors = 1);
int PortOf(TcpServer &server);

// Writes the leaf (followed by `chainPem`) and its key under `name` in `dir` and
// builds a server context from them.
ContextPtr ServerTls(const ZarnaTesting::TempDir &dir, const std::string &name, const ZarnaTesting::TestCert &leaf,
                     const std::string &chainPem = "");

struct TlsOutcome {
   bool connected = false;
   bool resumed = false;
   int version = 0;
   std::string error;
};
// Connects and completes (or fails) the client's TLS handshake; nothing is sent.
TlsOutcome TlsConnect(const std::string &host, int port, const ContextPtr &context);
TlsOutcome TlsConnect(const std::string &host, int port, const std::vector<std::string> &trusted);

// openssl s_server for one connection, with the leaf and its chain.
class OpensslServer {
public:
   OpensslServer(const ZarnaTesting::TempDir &dir, const ZarnaTesting::TestCert &leaf,
                 const ZarnaTesting::TestCert &intermediate, std::vector<std::string> extra = {});
   int port;
   std::optional<ZarnaTesting::ChildProcess> process;
   bool ready = false;
};

// Servers on an I/O context of their own, all closed at the end of the test.
class ServerTest : public ::testing::Test {
protected:
   void TearDown() override;
   // Starts a server (kept as `server`) and returns its port.
   int Serve(std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler> handler,
             const Ruvo::Transport::PicoHttp::ServerSettings &settings = {}, ContextPtr tls = nullptr,
             int acceptors = 1);
   int Serve(const Ruvo::Transport::PicoHttp::ServerSettings &settings = {}, ContextPtr tls = nullptr)
   {
      return Serve(std::make_shared<EchoHandler>(), settings, std::move(tls));
   }

   IoThreads io;
   std::shared_ptr<Ruvo::Log::Testing::RecordingLogger> logger = std::make_shared<Ruvo::Log::Testing::RecordingLogger>();
   std::vector<std::shared_ptr<TcpServer>> servers;
   std::shared_ptr<TcpServer> server;
   int port = 0;
};

} // namespace TransportTesting
