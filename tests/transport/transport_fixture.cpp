#include "tests/transport/transport_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>

#include "runtime/ruvo/transport/connectors.h"
#include "runtime/ruvo/transport/timeout_stream.h"
#include "runtime/ruvo/transport/tls_context.h"

namespace TransportTesting {

namespace {

int ConnectOrClose(int fd, const sockaddr *address, socklen_t size)
{
   if (connect(fd, address, size) != 0) {
      close(fd);
      return -1;
   }
   return fd;
}

} // namespace

RawClient::RawClient(int port)
{
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_port = htons(static_cast<uint16_t>(port));
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   mFd = ConnectOrClose(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

RawClient::RawClient(const std::string &unixPath)
{
   sockaddr_un addr{};
   addr.sun_family = AF_UNIX;
   std::strncpy(addr.sun_path, unixPath.c_str(), sizeof addr.sun_path - 1);
   mFd = ConnectOrClose(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

RawClient::~RawClient()
{
   if (mFd >= 0) {
      close(mFd);
   }
}

bool RawClient::Send(const std::string &bytes)
{
   size_t done = 0;
   while (done < bytes.size()) {
      ssize_t n = send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
         return false;
      }
      done += static_cast<size_t>(n);
   }
   return true;
}

bool RawClient::ReadUpTo(std::string &out, size_t count, std::chrono::milliseconds timeout)
{
   auto deadline = std::chrono::steady_clock::now() + timeout;
   while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{mFd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
         return false;
      }
      char buf[4096];
      ssize_t n = recv(mFd, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) {
         return true;
      }
      out.append(buf, static_cast<size_t>(n));
   }
   return false;
}

std::string RawClient::Read(size_t count, std::chrono::milliseconds timeout)
{
   std::string out;
   ReadUpTo(out, count, timeout);
   return out;
}

bool RawClient::ReadUntilClosed(std::string &out, std::chrono::milliseconds timeout)
{
   return ReadUpTo(out, std::string::npos, timeout);
}

IoThreads::IoThreads(int threads) : mWork(boost::asio::make_work_guard(mIo))
{
   for (int i = 0; i < threads; ++i) {
      mThreads.emplace_back([this] { mIo.run(); });
   }
}

IoThreads::~IoThreads()
{
   Stop();
}

void IoThreads::Stop()
{
   mWork.reset();
   mIo.stop();
   for (auto &t : mThreads) {
      if (t.joinable()) {
         t.join();
      }
   }
}

bool EchoHandler::Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
                         Ruvo::Transport::PicoHttp::HttpReplyCb reply)
{
   Ruvo::Transport::PicoHttp::HttpServerReply r;
   r.body = std::string(request.body);
   reply(std::move(r));
   return true;
}

std::string BodyReply(const std::string &body, bool keepAlive)
{
   return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nContent-Type: application/json\r\nConnection: " + (keepAlive ? "Keep-Alive" : "close") +
          "\r\nServer: PicoHttp\r\n\r\n" + body;
}

std::string Post(const std::string &body, const std::string &extraHeaders)
{
   return "POST /api HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
          std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

bool Served(RawClient &client, const std::string &body)
{
   return client.Send(Post(body)) &&
          client.Read(BodyReply(body, true).size(), std::chrono::seconds(3)) == BodyReply(body, true);
}

std::shared_ptr<TcpServer> Listen(boost::asio::io_context &io,
                                  std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler> handler,
                                  const Ruvo::Transport::PicoHttp::ServerSettings &settings,
                                  Ruvo::Log::LoggerPtr logger, ContextPtr tls, int acceptors)
{
   using boost::asio::ip::tcp;
   auto server = TcpServer::Create(io, std::move(handler), settings, std::move(logger), std::move(tls));
   for (int i = 0; i < acceptors; ++i) {
      tcp::acceptor acceptor(io);
      acceptor.open(tcp::v4());
      acceptor.set_option(tcp::acceptor::reuse_address(true));
      acceptor.bind(tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
      acceptor.listen(128);
      server->StartAccepting(std::move(acceptor));
   }
   return server;
}

int PortOf(TcpServer &server)
{
   return server.LocalEndpoints().at(0).port();
}

ContextPtr ServerTls(const ZarnaTesting::TempDir &dir, const std::string &name, const ZarnaTesting::TestCert &leaf,
                     const std::string &chainPem)
{
   ZarnaTesting::WriteTextFile(dir.File(name + ".pem"), leaf.Pem() + chainPem);
   leaf.Key().WritePrivatePem(dir.File(name + ".key"));
   std::string error;
   auto context = Ruvo::Security::Openssl::CreateServerTlsContext(dir.File(name + ".pem"), dir.File(name + ".key"), error);
   EXPECT_TRUE(context) << error;
   return context;
}

TlsOutcome TlsConnect(const std::string &host, int port, const ContextPtr &context)
{
   TlsOutcome outcome;
   if (!context) {
      outcome.error = "no context";
      return outcome;
   }
   boost::asio::io_context io;
   Ruvo::Asio::StreamLimits limits;
   limits.readLimit = std::chrono::seconds(5);
   auto base = std::make_shared<Ruvo::Asio::TcpBaseConnector>(io, host, static_cast<uint16_t>(port), limits);
   Ruvo::Security::Openssl::TlsConnector connector(base, context);
   connector.AsyncConnect([&](const boost::system::error_code &ec, std::shared_ptr<Ruvo::Asio::ByteStream> stream) {
      if (ec) {
         outcome.error = ec.message();
         return;
      }
      using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;
      auto tls = std::dynamic_pointer_cast<Ruvo::Asio::TimeoutBaseStream<TlsStream>>(stream);
      outcome.connected = true;
      if (tls) {
         outcome.version = SSL_version(tls->Next().native_handle());
         outcome.resumed = SSL_session_reused(tls->Next().native_handle()) == 1;
      }
      stream->Close();
   });
   io.run();
   return outcome;
}

TlsOutcome TlsConnect(const std::string &host, int port, const std::vector<std::string> &trusted)
{
   return TlsConnect(host, port, Ruvo::Security::Openssl::CreateClientTlsContext(trusted));
}

OpensslServer::OpensslServer(const ZarnaTesting::TempDir &dir, const ZarnaTesting::TestCert &leaf,
                             const ZarnaTesting::TestCert &intermediate, std::vector<std::string> extra)
   : port(ZarnaTesting::FreeTcpPort())
{
   leaf.WritePem(dir.File("leaf.pem"));
   intermediate.WritePem(dir.File("chain.pem"));
   leaf.Key().WritePrivatePem(dir.File("leaf.key"));
   std::vector<std::string> argv = {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                    "-cert", dir.File("leaf.pem"), "-cert_chain", dir.File("chain.pem"),
                                    "-key", dir.File("leaf.key"), "-www", "-naccept", "1"};
   argv.insert(argv.end(), extra.begin(), extra.end());
   process.emplace(argv);
   ready = process->WaitForOutput("ACCEPT", std::chrono::seconds(10));
}

void ServerTest::TearDown()
{
   for (auto &s : servers) {
      s->Close();
   }
   io.Stop();
}

int ServerTest::Serve(std::shared_ptr<Ruvo::Transport::PicoHttp::HttpRequestHandler> handler,
                      const Ruvo::Transport::PicoHttp::ServerSettings &settings, ContextPtr tls, int acceptors)
{
   server = Listen(io.Io(), std::move(handler), settings, logger, std::move(tls), acceptors);
   servers.push_back(server);
   port = PortOf(*server);
   return port;
}

} // namespace TransportTesting
