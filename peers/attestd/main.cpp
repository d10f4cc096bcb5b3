// attestd: the reference attestation service over HTTPS.
//
//   attestd --listen HOST:PORT --cert FILE --key FILE (--ek-ca FILE... | --ek-allow SHA256...)
//           --signing-key FILE [--token-lifetime SECS] [--audience TEXT] [--issuer TEXT]
//           [--grant PROVIDER]... [--pcrs LIST] [--pcr-policy FILE] [--fault SPEC]
//   attestd keygen --out FILE
//
// Runs until SIGINT or SIGTERM; prints "ready PORT" once it listens.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include "peers/attestd/attest_service.h"
#include "peers/attestd/evidence.h"
#include "peers/attestd/options.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"
#include "runtime/ruvo/transport/pico_http_server.h"
#include "runtime/ruvo/transport/tls_context.h"

namespace {

using namespace Ruvo::Transport::PicoHttp;

// Misbehaviour below the JSON-RPC layer, for testing clients.
class FaultyHandler : public HttpRequestHandler {
public:
   FaultyHandler(std::shared_ptr<HttpRequestHandler> next, Attestd::Fault fault)
       : mNext(std::move(next)), mFault(fault)
   {
   }
   bool Handle(const HttpServerRequest &request, HttpReplyCb reply) override
   {
      switch (mFault) {
      case Attestd::Fault::Close:
         return false;
      case Attestd::Fault::Garbage: {
         HttpServerReply out;
         out.body = "\x01\x02 this is not a JSON-RPC reply";
         reply(std::move(out));
         return true;
      }
      case Attestd::Fault::WrongId: {
         HttpServerReply out;
         out.body =
             R"({"version":"1.1","id":"not-your-request","result":{"contexts":[],"finished":false,"documents":[]}})";
         reply(std::move(out));
         return true;
      }
      default:
         return mNext->Handle(request, std::move(reply));
      }
   }

private:
   std::shared_ptr<HttpRequestHandler> mNext;
   Attestd::Fault mFault;
};

std::string ReadFile(const std::string &path, bool &ok)
{
   std::ifstream in(path);
   std::stringstream text;
   text << in.rdbuf();
   ok = static_cast<bool>(in) || in.eof();
   return text.str();
}

int Keygen(int argc, char **argv)
{
   if (argc != 4 || std::string(argv[2]) != "--out") {
      fprintf(stderr, "usage: attestd keygen --out FILE\n");
      return 2;
   }
   std::string error;
   if (!Attestd::GenerateKeyPair(argv[3], error)) {
      fprintf(stderr, "attestd: %s\n", error.c_str());
      return 1;
   }
   printf("wrote %s and %s.pub\n", argv[3], argv[3]);
   return 0;
}

} // namespace

int main(int argc, char **argv)
{
   if (argc >= 2 && std::string(argv[1]) == "keygen") {
      return Keygen(argc, argv);
   }
   Attestd::Options options;
   std::string error;
   if (!Attestd::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
      if (error == "help") {
         printf("%s", Attestd::kUsage);
         return 0;
      }
      fprintf(stderr, "attestd: %s\n%s", error.c_str(), Attestd::kUsage);
      return 2;
   }
   if (!options.pcrPolicyFile.empty()) {
      bool ok = false;
      const std::string text = ReadFile(options.pcrPolicyFile, ok);
      if (!ok || !Attestd::ParsePcrPolicy(text, options.service.pcrPolicy, error)) {
         fprintf(stderr, "attestd: PCR policy %s: %s\n", options.pcrPolicyFile.c_str(),
                 ok ? error.c_str() : "unreadable");
         return 1;
      }
   }
   auto identities = std::make_shared<Attestd::IdentityVerifier>();
   if (!identities->Load(options.ekCaFiles, options.ekAllow, error)) {
      fprintf(stderr, "attestd: %s\n", error.c_str());
      return 1;
   }
   auto signer = std::make_shared<Attestd::TokenSigner>();
   if (!signer->Load(options.signingKey, error)) {
      fprintf(stderr, "attestd: %s\n", error.c_str());
      return 1;
   }
   auto tls =
       Ruvo::Security::Openssl::CreateServerTlsContext(options.certFile, options.keyFile, error);
   if (!tls) {
      fprintf(stderr, "attestd: TLS: %s\n", error.c_str());
      return 1;
   }

   boost::asio::io_context io;
   const Attestd::Fault fault = options.service.fault.fault;
   auto service = std::make_shared<Attestd::AttestService>(io, options.service, identities, signer);
   auto iface = Attestd::Report::AsyncServiceBinder::BindImplementation(service, nullptr);
   std::shared_ptr<HttpRequestHandler> handler = std::make_shared<PicoHttpApiRequestHandler>(
       Ruvo::Provider::AsyncLocalProvider::Create({iface}), nullptr);
   handler = std::make_shared<FaultyHandler>(handler, fault);

   using boost::asio::ip::tcp;
   boost::system::error_code ec;
   tcp::resolver resolver(io);
   auto endpoints = resolver.resolve(options.host, std::to_string(options.port), ec);
   if (ec || endpoints.empty()) {
      fprintf(stderr, "attestd: cannot resolve %s\n", options.host.c_str());
      return 1;
   }
   tcp::acceptor acceptor(io);
   const tcp::endpoint endpoint = endpoints.begin()->endpoint();
   acceptor.open(endpoint.protocol(), ec);
   if (!ec) {
      acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
      acceptor.bind(endpoint, ec);
   }
   if (!ec) {
      acceptor.listen(128, ec);
   }
   if (ec) {
      fprintf(stderr, "attestd: cannot listen on %s:%d: %s\n", options.host.c_str(), options.port,
              ec.message().c_str());
      return 1;
   }
   const unsigned short port = acceptor.local_endpoint().port();
   Ruvo::Transport::PicoHttp::ServerSettings settings;
   settings.name = "attestd";
   settings.maxRequestBytes = 1024 * 1024;
   auto server = AsioTcpApiServer::Create(io, handler, settings, nullptr, tls);
   server->StartAccepting(std::move(acceptor));

   boost::asio::signal_set signals(io, SIGINT, SIGTERM);
   signals.async_wait([&](const boost::system::error_code &, int) {
      server->Close();
      io.stop();
   });
   printf("ready %u\n", port);
   fflush(stdout);
   io.run();
   return 0;
}
