// JSON-RPC calls end to end: a bound service behind the server's request handler,
// called through the client transport as a provider (TLS, TCP, Unix socket).
#include <chrono>
#include <optional>

#include <gtest/gtest.h>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/binding/stub.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/ruvo/transport/pico_http_api_request_handler.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "tests/transport/transport_fixture.h"

namespace RpcTest {

using Ruvo::Binding::Operation;
using Ruvo::Binding::Param;
using EchoMethod = Operation<"echo", std::string, Param<std::string, "text">>;
using FailMethod = Operation<"fail", Ruvo::Void, Param<std::string, "how">>;
using Decl = Ruvo::Binding::InterfaceDecl<"test.transport.svc", EchoMethod, FailMethod>;

class Service {
public:
   void Echo(const std::string &text, Ruvo::AsyncResult<std::string> result) { result.SetResult(text); }
   void Fail(const std::string &how, Ruvo::AsyncResult<Ruvo::Void> result)
   {
      auto error = Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kNotFound,
                                               {Ruvo::BaseMessage("svc.missing", "missing {1}", {how})}, "NOT_FOUND");
      if (how == "http") {
         error->SetField("category", Ruvo::Data::MakeString("http"));
         error->SetField("code", Ruvo::Data::MakeInteger(404));
         error->SetField("message", Ruvo::Data::MakeString("NotFound"));
      }
      result.SetError(error);
   }
};

class Stub : public Ruvo::Binding::ServiceStub<Decl> {
public:
   using ServiceStub::ServiceStub;
   Ruvo::Outcome<std::string> Echo(boost::asio::io_context &io, const std::string &text)
   {
      Ruvo::Outcome<std::string> got;
      Call<EchoMethod>(nullptr, Ruvo::AsyncResult<std::string>([&](Ruvo::Outcome<std::string> &&o) { got = std::move(o); }),
                       text);
      io.restart();
      io.run();
      return got;
   }
   Ruvo::Outcome<Ruvo::Void> Fail(boost::asio::io_context &io, const std::string &how)
   {
      Ruvo::Outcome<Ruvo::Void> got;
      Call<FailMethod>(nullptr, Ruvo::AsyncResult<Ruvo::Void>([&](Ruvo::Outcome<Ruvo::Void> &&o) { got = std::move(o); }),
                       how);
      io.restart();
      io.run();
      return got;
   }
};

} // namespace RpcTest

namespace {

using namespace TransportTesting;
using namespace std::chrono_literals;
using namespace Ruvo::Transport::PicoHttp;

// Answers every request with a fixed body (for replies the real handler never makes).
class CannedHandler : public HttpRequestHandler {
public:
   explicit CannedHandler(std::string body) : mBody(std::move(body)) {}
   bool Handle(const HttpServerRequest &, HttpReplyCb reply) override
   {
      HttpServerReply r;
      r.body = mBody;
      reply(std::move(r));
      return true;
   }

private:
   std::string mBody;
};

class RpcSocketTest : public ServerTest {
protected:
   void SetUp() override
   {
      auto iface = Ruvo::Binding::BindInterface<RpcTest::Decl>(std::make_shared<RpcTest::Service>(), nullptr,
                                                               &RpcTest::Service::Echo, &RpcTest::Service::Fail);
      handler = std::make_shared<PicoHttpApiRequestHandler>(Ruvo::Provider::AsyncLocalProvider::Create({iface}), logger);
   }

   std::shared_ptr<Ruvo::Log::Testing::RecordingLogger> clientLog = std::make_shared<Ruvo::Log::Testing::RecordingLogger>();
   std::shared_ptr<PicoHttpApiRequestHandler> handler;
   boost::asio::io_context caller; // the caller's own
};

TEST_F(RpcSocketTest, CallsOverTlsTcpAndUnixSocket)
{
   auto pki = ZarnaTesting::TestPki::Make();
   ZarnaTesting::TempDir dir;
   auto tls = ServerTls(dir, "s", pki.leaf, pki.intermediate.Pem());
   ASSERT_TRUE(tls);
   uint16_t tlsPort = Serve(handler, {}, tls);
   auto https = CreateHttpsClientProvider(caller, "localhost", tlsPort, {pki.root.Pem(), pki.intermediate.Pem()}, clientLog);
   ASSERT_TRUE(https);
   auto got = RpcTest::Stub(https).Echo(caller, "over tls");
   ASSERT_FALSE(got.IsError()) << got.error->ToString();
   EXPECT_EQ(*got.value, "over tls");

   uint16_t plainPort = Serve(handler);
   got = RpcTest::Stub(CreateHttpClientProvider(caller, "127.0.0.1", plainPort, clientLog)).Echo(caller, "plain");
   ASSERT_FALSE(got.IsError());
   EXPECT_EQ(*got.value, "plain");

   auto local = AsioLocalApiServer::Create(io.Io(), handler, {}, logger);
   boost::asio::local::stream_protocol::acceptor acceptor(io.Io());
   boost::system::error_code ec;
   ASSERT_TRUE(Ruvo::Asio::MakeLocalAcceptor(io.Io(), dir.File("api.sock"), 128, acceptor, ec));
   local->StartAccepting(std::move(acceptor));
   got = RpcTest::Stub(CreateLocalClientProvider(caller, dir.File("api.sock"), clientLog)).Echo(caller, "unix");
   ASSERT_FALSE(got.IsError());
   EXPECT_EQ(*got.value, "unix");
   local->Close();

   EXPECT_EQ(logger->Count("Request received"), 3u);
   EXPECT_EQ(logger->Count("Request handled"), 3u);
   EXPECT_EQ(clientLog->Count("PicoHttpClientTransport<Send> created"), 3u);
}

TEST_F(RpcSocketTest, ErrorsTravelAsJsonRpcOrAsHttpStatus)
{
   Serve(handler);
   auto got = RpcTest::Stub(CreateHttpClientProvider(caller, "127.0.0.1", port, clientLog)).Fail(caller, "plain");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.not_found");
   EXPECT_EQ(logger->Count("Handle request error: "), 1u);

   // The status block carries the error's code and message; the body is still the
   // JSON-RPC reply, which is what the client goes by.
   got = RpcTest::Stub(CreateHttpClientProvider(caller, "127.0.0.1", port, clientLog)).Fail(caller, "http");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.not_found");
   RawClient raw(port);
   std::string body = R"({"version":"1.1","id":"r1","method":"test.transport.svc.fail","params":{"input":{"how":"http"}}})";
   ASSERT_TRUE(raw.Send(Post(body)));
   std::string reply;
   EXPECT_TRUE(raw.ReadUntilClosed(reply));
   EXPECT_EQ(reply.rfind("HTTP/1.1 404 NotFound\r\nContent-Length: ", 0), 0u) << reply;
   EXPECT_NE(reply.find("\r\nContent-Type: application/json\r\nConnection: close\r\nServer: PicoHttp\r\n\r\n{"),
             std::string::npos);

   // A method id header that names another method is refused before the provider.
   RawClient mismatch(port);
   ASSERT_TRUE(mismatch.Send(Post(body, "Ruvo-Method-Id: test.transport.svc.echo\r\n")));
   std::string refused = mismatch.Read(4096, 500ms);
   EXPECT_NE(refused.find("invalid_request"), std::string::npos) << refused;
   EXPECT_NE(refused.find("ruvo.protocol.method.mismatch"), std::string::npos) << refused;
}

TEST_F(RpcSocketTest, ResponseForAnotherRequestAndEmptyBody)
{
   uint16_t other = Serve(std::make_shared<CannedHandler>(R"({"version":"1.1","id":"someone-else","result":"x"})"));
   auto got = RpcTest::Stub(CreateHttpClientProvider(caller, "127.0.0.1", other, clientLog)).Echo(caller, "a");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.invalid_request");
   ASSERT_EQ(got.error->messages().size(), 1u);
   EXPECT_EQ(got.error->messages()[0].GetId(), "ruvo.unknown.request.id");
   EXPECT_EQ(got.error->messages()[0].ToString(),
             "ruvo.unknown.request.id: Invoke: the response carries an unknown request identifier");

   uint16_t empty = Serve(std::make_shared<CannedHandler>(""));
   got = RpcTest::Stub(CreateHttpClientProvider(caller, "127.0.0.1", empty, clientLog)).Echo(caller, "a");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.system_error");
   EXPECT_EQ(got.error->messages().at(0).ToString(), "ruvo.recv.failed: Cannot receive the message: empty frame");
}

TEST_F(RpcSocketTest, IoFailuresBecomeSystemErrors)
{
   auto refused = static_cast<uint16_t>(ZarnaTesting::FreeTcpPort());
   auto got = RpcTest::Stub(CreateHttpClientProvider(caller, "127.0.0.1", refused, clientLog)).Echo(caller, "a");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.system_error");
   auto messages = got.error->messages();
   ASSERT_EQ(messages.size(), 1u);
   EXPECT_EQ(messages[0].GetId(), "ruvo.connect.failed");
   EXPECT_EQ(messages[0].GetArgs(), std::vector<std::string>{"Connection refused"});

   // A TLS peer speaking only TLS 1.1.
   auto pki = ZarnaTesting::TestPki::Make();
   ZarnaTesting::TempDir dir;
   OpensslServer sserver(dir, pki.leaf, pki.intermediate, {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"});
   ASSERT_TRUE(sserver.ready);
   got = RpcTest::Stub(CreateHttpsClientProvider(caller, "localhost", static_cast<uint16_t>(sserver.port),
                                                 {pki.root.Pem(), pki.intermediate.Pem()}, clientLog))
            .Echo(caller, "a");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->messages().at(0).GetId(), "ruvo.connect.failed");
}

} // namespace
