// A server for the HTTP benchmarks: one trivial JSON-RPC operation
// ("bench.http.echo.echo", text in, same text out) behind the transport's real
// request handler, on plain TCP, a Unix socket and TLS.
//
//   http_echo_server [--tcp PORT] [--unix PATH] [--tls PORT] [--tls-full PORT] [--cert FILE --key FILE]
//                    [--threads N]
// --tls-full listens with TLS too, refusing resumption: every client pays a full handshake.
//
// Runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"
#include "runtime/ruvo/transport/pico_http_server.h"
#include "runtime/ruvo/transport/tls_context.h"

namespace BenchHttp {

using EchoMethod = Ruvo::Binding::Operation<"echo", std::string, Ruvo::Binding::Param<std::string, "text">>;
using Decl = Ruvo::Binding::InterfaceDecl<"bench.http.echo", EchoMethod>;

struct Service {
   void Echo(const std::string &text, Ruvo::AsyncResult<std::string> result) { result.SetResult(text); }
};

} // namespace BenchHttp

int main(int argc, char **argv)
{
   using namespace Ruvo::Transport::PicoHttp;
   using boost::asio::ip::tcp;
   int tcpPort = 0;
   int tlsPort = 0;
   int tlsFullPort = 0;
   int threads = 2;
   std::string unixPath;
   std::string cert;
   std::string key;
   for (int i = 1; i + 1 < argc; i += 2) {
      std::string a = argv[i];
      std::string v = argv[i + 1];
      if (a == "--tcp") {
         tcpPort = std::stoi(v);
      } else if (a == "--tls") {
         tlsPort = std::stoi(v);
      } else if (a == "--tls-full") {
         tlsFullPort = std::stoi(v);
      } else if (a == "--unix") {
         unixPath = v;
      } else if (a == "--cert") {
         cert = v;
      } else if (a == "--key") {
         key = v;
      } else if (a == "--threads") {
         threads = std::max(1, std::stoi(v));
      }
   }
   boost::asio::io_context io;
   auto iface = Ruvo::Binding::BindInterface<BenchHttp::Decl>(std::make_shared<BenchHttp::Service>(), nullptr,
                                                             &BenchHttp::Service::Echo);
   auto handler = std::make_shared<PicoHttpApiRequestHandler>(Ruvo::Provider::AsyncLocalProvider::Create({iface}),
                                                              nullptr);
   // The run holds 1000 idle connections to measure what each one costs; none may
   // be closed to make room.
   ServerSettings settings;
   settings.maxConnections = 4096;
   std::vector<std::shared_ptr<AsioTcpApiServer>> tcpServers;
   auto listen = [&](int port, std::shared_ptr<boost::asio::ssl::context> tls) {
      auto server = AsioTcpApiServer::Create(io, handler, settings, nullptr, tls);
      tcp::acceptor acceptor(io);
      acceptor.open(tcp::v4());
      acceptor.set_option(tcp::acceptor::reuse_address(true));
      acceptor.bind({boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)});
      acceptor.listen(1024);
      server->StartAccepting(std::move(acceptor));
      tcpServers.push_back(server);
   };
   if (tcpPort > 0) {
      listen(tcpPort, nullptr);
   }
   for (int port : {tlsPort, tlsFullPort}) {
      if (port <= 0) {
         continue;
      }
      std::string error;
      auto tls = Ruvo::Security::Openssl::CreateServerTlsContext(cert, key, error);
      if (!tls) {
         fprintf(stderr, "TLS: %s\n", error.c_str());
         return 1;
      }
      if (port == tlsFullPort) {
         Ruvo::Security::Openssl::RefuseResumption(*tls);
      }
      listen(port, tls);
   }
   std::shared_ptr<AsioLocalApiServer> localServer;
   if (!unixPath.empty()) {
      unlink(unixPath.c_str());
      boost::asio::local::stream_protocol::acceptor acceptor(io);
      boost::system::error_code ec;
      if (!Ruvo::Asio::MakeLocalAcceptor(io, unixPath, 1024, acceptor, ec)) {
         fprintf(stderr, "unix socket: %s\n", ec.message().c_str());
         return 1;
      }
      localServer = AsioLocalApiServer::Create(io, handler, settings, nullptr);
      localServer->StartAccepting(std::move(acceptor));
   }
   boost::asio::signal_set signals(io, SIGINT, SIGTERM);
   signals.async_wait([&](const boost::system::error_code &, int) { io.stop(); });
   printf("ready\n");
   fflush(stdout);
   std::vector<std::thread> pool;
   for (int i = 1; i < threads; ++i) {
      pool.emplace_back([&] { io.run(); });
   }
   io.run();
   for (auto &t : pool) {
      t.join();
   }
   if (!unixPath.empty()) {
      unlink(unixPath.c_str());
   }
   return 0;
}
