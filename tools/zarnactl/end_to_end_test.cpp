// zarnactl against an in-process agent stand-in: the real HTTP server and JSON-RPC
// request handler in front of a bound in-memory services implementation, reached
// over loopback TCP and over a Unix domain socket.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/trusted_infrastructure_services.h"
#include "runtime/ruvo/l10n/localizer.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"
#include "runtime/ruvo/transport/pico_http_server.h"
#include "tests/fixtures/cert_factory.h"
#include "tools/zarnactl/app.h"

namespace {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
namespace Api = Ti::ServicesApi;
using boost::asio::ip::tcp;

constexpr const char *kNotFoundId = "test.services.not_found";

std::string Source(const std::string &id, std::string_view, std::error_code &)
{
   return id == kNotFoundId ? "Service not found {service}." : "";
}

// Services kept in memory, ids handed out in order.
template <class Interface> class MemoryServices : public Interface {
public:
   void List(const std::optional<Api::FilterSpec> &,
             Ruvo::AsyncResult<Api::SummaryList> result) override
   {
      Api::SummaryList list;
      for (const auto &[id, info] : mServices) {
         list.push_back(
             std::make_shared<const Api::Summary>(Api::Summary{id, info.address, info.group}));
      }
      result.SetResult(std::move(list));
   }
   void Get(const std::string &service, Ruvo::AsyncResult<Api::Info> result) override
   {
      auto it = mServices.find(service);
      if (it == mServices.end()) {
         NotFound(service, result);
         return;
      }
      result.SetResult(it->second);
   }
   void Create(const Api::CreateSpec &spec, Ruvo::AsyncResult<std::string> result) override
   {
      std::string id = "svc-" + std::to_string(++mNext);
      mServices[id] = Api::Info{spec.address, spec.trusted_CA, spec.group};
      result.SetResult(id);
   }
   void Delete(const std::string &service, Ruvo::AsyncResult<Ruvo::Void> result) override
   {
      if (mServices.erase(service) == 0) {
         NotFound(service, result);
         return;
      }
      result.SetResult();
   }

private:
   template <class R> static void NotFound(const std::string &service, R &result)
   {
      auto error = Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kNotFound, {}, "NOT_FOUND");
      Ruvo::NamedMessageBuilder message(kNotFoundId);
      message.put("service", service);
      result.SetError(Ruvo::Data::NativeError(error, {message}));
   }

   // Calls arrive one at a time on the single server thread.
   std::map<std::string, Api::Info> mServices;
   int mNext = 0;
};

struct Outcome {
   int code = -1;
   std::string out;
   std::string err;
};

class ZarnactlEndToEnd : public ::testing::Test {
protected:
   void SetUp() override
   {
      char pattern[] = "/tmp/zarnactl-e2e-XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      dir = pattern;
      auto localizer =
          std::make_shared<Ruvo::L10n::Localizer>(std::vector<std::string>{"en_US"}, Source);
      auto provider = Ruvo::Provider::AsyncLocalProvider::Create(
          {Ti::Attestation::ServicesSvc::AsyncServiceBinder::BindImplementation(
               std::make_shared<
                   MemoryServices<Ti::Attestation::ServicesSvc::AsyncServiceInterface>>(),
               localizer),
           Ti::Kms::ServicesSvc::AsyncServiceBinder::BindImplementation(
               std::make_shared<MemoryServices<Ti::Kms::ServicesSvc::AsyncServiceInterface>>(),
               localizer)});
      auto handler =
          std::make_shared<Ruvo::Transport::PicoHttp::PicoHttpApiRequestHandler>(provider, nullptr);

      tcpServer = Ruvo::Transport::PicoHttp::AsioTcpApiServer::Create(io, handler, {}, nullptr);
      tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
      port = acceptor.local_endpoint().port();
      tcpServer->StartAccepting(std::move(acceptor));

      localServer = Ruvo::Transport::PicoHttp::AsioLocalApiServer::Create(io, handler, {}, nullptr);
      boost::asio::local::stream_protocol::acceptor local(io);
      boost::system::error_code ec;
      ASSERT_TRUE(Ruvo::Asio::MakeLocalAcceptor(io, (dir / "api.sock").string(), 16, local, ec))
          << ec.message();
      localServer->StartAccepting(std::move(local));

      thread = std::thread([this] { io.run(); });
   }
   void TearDown() override
   {
      if (tcpServer) {
         tcpServer->Close();
      }
      if (localServer) {
         localServer->Close();
      }
      work.reset();
      io.stop();
      if (thread.joinable()) {
         thread.join();
      }
      std::filesystem::remove_all(dir);
   }

   Outcome Zarnactl(std::vector<std::string> args, bool overTcp = true)
   {
      if (overTcp) {
         args.insert(args.begin(), {"--tcp", "127.0.0.1:" + std::to_string(port)});
      } else {
         args.insert(args.begin(), {"--socket", (dir / "api.sock").string()});
      }
      std::ostringstream out;
      std::ostringstream err;
      Outcome r;
      r.code = Zarnactl::RunZarnactl(args, out, err, Zarnactl::SystemDeps());
      r.out = out.str();
      r.err = err.str();
      return r;
   }

   std::filesystem::path dir;
   boost::asio::io_context io;
   boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
   std::shared_ptr<Ruvo::Transport::PicoHttp::AsioTcpApiServer> tcpServer;
   std::shared_ptr<Ruvo::Transport::PicoHttp::AsioLocalApiServer> localServer;
   uint16_t port = 0;
   std::thread thread;
};

TEST_F(ZarnactlEndToEnd, CreateDeleteOverTcp)
{
   auto pki = ZarnaTesting::TestPki::Make("attestd.test");
   ZarnaTesting::WriteTextFile(dir / "root.pem", pki.root.Pem());
   ZarnaTesting::WriteTextFile(dir / "inter.pem", "issuing CA follows\n" + pki.intermediate.Pem());

   Outcome created = Zarnactl({"attestation-services", "create", "--host", "attestd.test", "--port",
                               "8443", "--group", "blue", "--ca-file", (dir / "root.pem").string(),
                               "--ca-file", (dir / "inter.pem").string()});
   ASSERT_EQ(created.code, 0) << created.err;
   EXPECT_EQ(created.out, "svc-1\n");

   Outcome deleted = Zarnactl({"attestation-services", "delete", "svc-1"});
   ASSERT_EQ(deleted.code, 0) << deleted.err;
   EXPECT_EQ(deleted.out, "Deleted attestation service svc-1.\n");

   // The message is rendered by the serving side's localizer and shown as sent.
   Outcome gone = Zarnactl({"attestation-services", "get", "svc-1"});
   EXPECT_EQ(gone.code, 1);
   EXPECT_EQ(gone.out, "");
   EXPECT_EQ(gone.err, "zarnactl: Service not found svc-1.\n");
}

TEST_F(ZarnactlEndToEnd, UnixSocketAndUnreachableAgent)
{
   ZarnaTesting::WriteTextFile(dir / "ca.pem", ZarnaTesting::TestPki::Make().root.Pem());
   Outcome created = Zarnactl({"--json", "key-provider-services", "create", "--host", "::1",
                               "--group", "g", "--ca-file", (dir / "ca.pem").string()},
                              false);
   ASSERT_EQ(created.code, 0) << created.err;
   EXPECT_EQ(created.out, "\"svc-1\"\n");
   Outcome list = Zarnactl({"--json", "key-provider-services", "list"}, false);
   ASSERT_EQ(list.code, 0) << list.err;
   EXPECT_EQ(
       nlohmann::json::parse(list.out),
       nlohmann::json::parse(R"([{"service":"svc-1","address":{"hostname":"::1"},"group":"g"}])"));

   // A port nobody listens on: taken, then given back.
   uint16_t closed = 0;
   {
      boost::asio::io_context scratch;
      tcp::acceptor probe(scratch, {boost::asio::ip::address_v4::loopback(), 0});
      closed = probe.local_endpoint().port();
   }
   std::ostringstream out;
   std::ostringstream err;
   int code = Zarnactl::RunZarnactl(
       {"--tcp", "127.0.0.1:" + std::to_string(closed), "attestation-services", "list"}, out, err,
       Zarnactl::SystemDeps());
   EXPECT_EQ(code, 1);
   EXPECT_EQ(out.str(), "");
   EXPECT_EQ(
       err.str().rfind(
           "zarnactl: cannot talk to the agent at 127.0.0.1:" + std::to_string(closed) + "\n", 0),
       0u)
       << err.str();
   EXPECT_NE(err.str().find("Connection refused"), std::string::npos) << err.str();

   std::ostringstream noErr;
   code = Zarnactl::RunZarnactl(
       {"--socket", (dir / "none.sock").string(), "attestation-services", "list"}, out, noErr,
       Zarnactl::SystemDeps());
   EXPECT_EQ(code, 1);
   EXPECT_NE(noErr.str().find("cannot talk to the agent at " + (dir / "none.sock").string()),
             std::string::npos)
       << noErr.str();
}

} // namespace
