// zarnd: a key provider service over HTTPS.
//
//   zarnd --listen HOST:PORT --cert FILE --key FILE --trust-token-key FILE...
//         [--audience TEXT] --db FILE --provider NAME[:STATUS]... [--fault SPEC]
//         [--no-resumption] [--verbose]
//   zarnd rotate --db FILE --provider NAME
//   zarnd wrap --db FILE --provider NAME --key-b64 B64
//
// Exit codes: 0 after SIGTERM/SIGINT or a finished subcommand, 1 on a failure,
// 2 on a usage error.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include "peers/zarnd/key_service.h"
#include "peers/zarnd/wrapped_key.h"
#include "peers/zarnd/zarnd_server.h"
#include "runtime/configstore/config_store_exception.h"
#include "runtime/hostlib/base64.h"
#include "runtime/hostlib/log.h"
#include "runtime/ruvo/transport/pico_http_server.h"
#include "runtime/ruvo/transport/tls_context.h"

namespace {

constexpr const char *kUsage =
    "usage: zarnd --listen HOST:PORT --cert FILE --key FILE --trust-token-key FILE...\n"
    "             [--audience TEXT] --db FILE --provider NAME[:STATUS]... [--fault SPEC] "
    "[--no-resumption] [--verbose]\n"
    "       zarnd rotate --db FILE --provider NAME\n"
    "       zarnd wrap --db FILE --provider NAME --key-b64 B64\n"
    "STATUS: unknown|available|degraded|unavailable (default available)\n"
    "SPEC: none|unauthenticated|unauthorized|invalid-argument|not-found|error|internal|\n"
    "      garbage|close|wrong-id|delay:MS|status-fail:NAME:TYPE\n";

struct Args {
   std::string command = "serve";
   std::string listen, cert, key, audience, db, keyB64;
   std::vector<std::string> trustKeys;
   std::vector<Zarnd::ProviderConfig> providers;
   Zarnd::Fault fault;
   bool verbose = false;
   bool noResumption = false;
};

int Usage(const std::string &why)
{
   std::cerr << "zarnd: " << why << "\n" << kUsage;
   return 2;
}

// 0 when parsed; otherwise the exit code.
int Parse(int argc, char **argv, Args &args)
{
   int i = 1;
   if (argc > 1 && (std::strcmp(argv[1], "rotate") == 0 || std::strcmp(argv[1], "wrap") == 0)) {
      args.command = argv[1];
      i = 2;
   }
   for (; i < argc; ++i) {
      std::string opt = argv[i];
      if (opt == "--help" || opt == "-h") {
         std::cout << kUsage;
         return -1;
      }
      if (opt == "--no-resumption") {
         // Every client pays a full handshake: the baseline for measuring resumption.
         args.noResumption = true;
         continue;
      }
      if (opt == "--verbose") {
         args.verbose = true;
         continue;
      }
      if (i + 1 >= argc) {
         return Usage(opt + " needs a value");
      }
      std::string value = argv[++i];
      if (opt == "--listen") {
         args.listen = value;
      } else if (opt == "--cert") {
         args.cert = value;
      } else if (opt == "--key") {
         args.key = value;
      } else if (opt == "--trust-token-key") {
         args.trustKeys.push_back(value);
      } else if (opt == "--audience") {
         args.audience = value;
      } else if (opt == "--db") {
         args.db = value;
      } else if (opt == "--key-b64") {
         args.keyB64 = value;
      } else if (opt == "--provider") {
         Zarnd::ProviderConfig provider;
         if (!Zarnd::ParseProvider(value, provider)) {
            return Usage("bad provider: " + value);
         }
         for (const auto &p : args.providers) {
            if (p.name == provider.name) {
               return Usage("provider given twice: " + provider.name);
            }
         }
         args.providers.push_back(provider);
      } else if (opt == "--fault") {
         if (!Zarnd::ParseFault(value, args.fault)) {
            return Usage("bad fault: " + value);
         }
      } else {
         return Usage("unknown option " + opt);
      }
   }
   if (args.db.empty() || args.providers.empty()) {
      return Usage("--db and --provider are required");
   }
   if (args.command == "serve" &&
       (args.listen.empty() || args.cert.empty() || args.key.empty() || args.trustKeys.empty())) {
      return Usage("--listen, --cert, --key and --trust-token-key are required");
   }
   if (args.command != "serve" && args.providers.size() != 1) {
      return Usage("exactly one --provider");
   }
   if (args.command == "wrap" && args.keyB64.empty()) {
      return Usage("--key-b64 is required");
   }
   return 0;
}

int Rotate(const Args &args, Zarnd::MasterKeys &keys)
{
   std::string error;
   uint32_t version = keys.Rotate(args.providers[0].name, error);
   if (version == 0) {
      std::cerr << "zarnd: rotate failed: " << error << "\n";
      return 1;
   }
   std::cout << "provider " << args.providers[0].name << " master key version " << version << "\n";
   return 0;
}

int Wrap(const Args &args, Zarnd::MasterKeys &keys)
{
   std::string bytes(Base64_DecodedLength(args.keyB64.data(), args.keyB64.size()) + 1, '\0');
   size_t length = 0;
   if (!Base64_DecodeBuffer(args.keyB64.data(), args.keyB64.size(),
                            reinterpret_cast<uint8_t *>(bytes.data()), bytes.size(), &length) ||
       !Zarnd::IsSupportedKeyLength(length)) {
      std::cerr << "zarnd: --key-b64 must be Base64 of a 128, 192 or 256-bit key\n";
      return 2;
   }
   Ruvo::SecretString key(std::string_view(bytes.data(), length));
   OPENSSL_cleanse(bytes.data(), bytes.size());
   uint32_t version = 0;
   Ruvo::SecretString master;
   std::string error;
   Zarnd::WrappedKey wrapped;
   if (!keys.Current(args.providers[0].name, version, master, error) ||
       !Zarnd::SealKey(master, args.providers[0].name, version, key, wrapped)) {
      std::cerr << "zarnd: wrap failed " << error << "\n";
      return 1;
   }
   std::cout << Zarnd::FormatWrappedKey(wrapped) << "\n";
   return 0;
}

bool SplitHostPort(const std::string &text, std::string &host, uint16_t &port)
{
   size_t colon = text.rfind(':');
   if (colon == std::string::npos || colon == 0) {
      return false;
   }
   host = text.substr(0, colon);
   if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
   }
   try {
      size_t used = 0;
      unsigned long value = std::stoul(text.substr(colon + 1), &used);
      if (used != text.size() - colon - 1 || value > 65535) {
         return false;
      }
      port = static_cast<uint16_t>(value);
   } catch (const std::exception &) {
      return false;
   }
   return true;
}

int Serve(const Args &args, std::shared_ptr<Zarnd::MasterKeys> keys)
{
   using boost::asio::ip::tcp;
   std::string host;
   uint16_t port = 0;
   if (!SplitHostPort(args.listen, host, port)) {
      return Usage("bad --listen " + args.listen);
   }
   std::string error;
   auto verifier = Zarnd::TokenVerifier::Load(args.trustKeys, args.audience, error);
   if (!verifier) {
      std::cerr << "zarnd: " << error << "\n";
      return 1;
   }
   auto tls = Ruvo::Security::Openssl::CreateServerTlsContext(args.cert, args.key, error);
   if (!tls) {
      std::cerr << "zarnd: TLS: " << error << "\n";
      return 1;
   }
   if (args.noResumption) {
      Ruvo::Security::Openssl::RefuseResumption(*tls);
   }
   auto core = std::make_shared<Zarnd::ServiceCore>();
   core->providers = args.providers;
   core->keys = std::move(keys);
   core->fault = args.fault;

   boost::asio::io_context io;
   auto handler = Zarnd::MakeZarndHandler(io, core, verifier);
   Ruvo::Transport::PicoHttp::ServerSettings settings;
   settings.name = "zarnd";
   settings.maxRequestBytes = 1 << 20;
   auto server =
       Ruvo::Transport::PicoHttp::AsioTcpApiServer::Create(io, handler, settings, nullptr, tls);

   boost::system::error_code ec;
   tcp::resolver resolver(io);
   auto results = resolver.resolve(host, std::to_string(port), ec);
   if (ec || results.empty()) {
      std::cerr << "zarnd: cannot resolve " << host << "\n";
      return 1;
   }
   tcp::endpoint endpoint = results.begin()->endpoint();
   tcp::acceptor acceptor(io);
   if (!acceptor.open(endpoint.protocol(), ec) &&
       !acceptor.set_option(tcp::acceptor::reuse_address(true), ec) &&
       !acceptor.bind(endpoint, ec)) {
      acceptor.listen(128, ec);
   }
   if (ec) {
      std::cerr << "zarnd: cannot listen on " << args.listen << ": " << ec.message() << "\n";
      return 1;
   }
   tcp::endpoint bound = acceptor.local_endpoint(ec);
   server->StartAccepting(std::move(acceptor));

   boost::asio::signal_set signals(io, SIGINT, SIGTERM);
   signals.async_wait([&](const boost::system::error_code &, int) {
      server->Close();
      io.stop();
   });
   std::printf("zarnd listening on %s:%u\n", bound.address().to_string().c_str(),
               unsigned(bound.port()));
   std::fflush(stdout);
   Log_Level(125, "zarnd serving %zu provider(s)\n", args.providers.size());

   unsigned workers = std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
   std::vector<std::thread> threads;
   for (unsigned i = 1; i < workers; ++i) {
      threads.emplace_back([&io] { io.run(); });
   }
   io.run();
   for (auto &t : threads) {
      t.join();
   }
   return 0;
}

} // namespace

int main(int argc, char **argv)
{
   Args args;
   int rc = Parse(argc, argv, args);
   if (rc != 0) {
      return rc < 0 ? 0 : rc;
   }
   Log_SetOutputLevel(args.verbose ? 135 : 125);
   std::shared_ptr<Zarnd::MasterKeys> keys;
   try {
      keys = std::make_shared<Zarnd::MasterKeys>(args.db);
   } catch (const BrimConfigStore::ConfigStoreException &e) {
      std::cerr << "zarnd: " << e.what() << "\n";
      return 1;
   }
   if (args.command == "rotate") {
      return Rotate(args, *keys);
   }
   if (args.command == "wrap") {
      return Wrap(args, *keys);
   }
   return Serve(args, keys);
}
