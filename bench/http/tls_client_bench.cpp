// TLS client calls per second: each call is a new connection, a TLS 1.2 handshake
// (resumed when the server allows it), one JSON-RPC request and its reply, through
// the agent's client transport.
//
//   http_tls_client_bench --port P --ca FILE --seconds S
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <boost/asio/io_context.hpp>

#include "runtime/ruvo/binding/stub.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"

namespace BenchHttp {

using EchoMethod = Ruvo::Binding::Operation<"echo", std::string, Ruvo::Binding::Param<std::string, "text">>;
using Decl = Ruvo::Binding::InterfaceDecl<"bench.http.echo", EchoMethod>;

class Stub : public Ruvo::Binding::ServiceStub<Decl> {
public:
   using ServiceStub::ServiceStub;
   bool Echo(boost::asio::io_context &io, const std::string &text)
   {
      bool ok = false;
      Call<EchoMethod>(nullptr, Ruvo::AsyncResult<std::string>([&](Ruvo::Outcome<std::string> &&o) { ok = !o.IsError(); }),
                       text);
      io.restart();
      io.run();
      return ok;
   }
};

} // namespace BenchHttp

int main(int argc, char **argv)
{
   int port = 0;
   int seconds = 5;
   std::string caFile;
   for (int i = 1; i + 1 < argc; i += 2) {
      std::string a = argv[i];
      if (a == "--port") {
         port = std::stoi(argv[i + 1]);
      } else if (a == "--seconds") {
         seconds = std::min(60, std::max(1, std::stoi(argv[i + 1])));
      } else if (a == "--ca") {
         caFile = argv[i + 1];
      }
   }
   std::ifstream in(caFile);
   std::string ca((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   boost::asio::io_context io;
   auto provider = Ruvo::Transport::PicoHttp::CreateHttpsClientProvider(io, "localhost", static_cast<uint16_t>(port),
                                                                        {ca}, nullptr);
   if (!provider) {
      fprintf(stderr, "no TLS context\n");
      return 1;
   }
   BenchHttp::Stub stub(provider);
   auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
   long calls = 0;
   long failures = 0;
   while (std::chrono::steady_clock::now() < deadline) {
      if (stub.Echo(io, "ping")) {
         ++calls;
      } else {
         ++failures;
      }
   }
   printf("calls=%ld failures=%ld calls_per_s=%.1f\n", calls, failures, static_cast<double>(calls) / seconds);
   return failures == 0 ? 0 : 1;
}
