// The client's connectors and exchange over real sockets, with short time limits.
#include <chrono>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "runtime/ruvo/transport/connectors.h"
#include "runtime/ruvo/transport/http_client_exchange.h"
#include "runtime/ruvo/transport/tls_context.h"
#include "tests/transport/transport_fixture.h"

namespace {

using namespace TransportTesting;
using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using Ruvo::Transport::PicoHttp::ClientExchangeResult;
using Ruvo::Transport::PicoHttp::ClientPhase;

// One call on the caller's own I/O context, run on this thread until it is done.
ClientExchangeResult Call(boost::asio::io_context &io, Ruvo::Asio::Connector &connector, const std::string &host,
                          const std::string &body)
{
   std::optional<ClientExchangeResult> result;
   connector.AsyncConnect([&](const boost::system::error_code &ec, std::shared_ptr<Ruvo::Asio::ByteStream> stream) {
      if (ec) {
         ClientExchangeResult r;
         r.error = ec;
         r.phase = ClientPhase::Connect;
         result = r;
         return;
      }
      Ruvo::Transport::PicoHttp::HttpClientExchange::Run(stream, host, body, {}, nullptr,
                                                         [&](ClientExchangeResult r) { result = std::move(r); });
   });
   io.restart();
   io.run();
   return result.value_or(ClientExchangeResult());
}

// Accepts connections and never answers.
struct SilentListener {
   explicit SilentListener(boost::asio::io_context &io) : acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0))
   {
      acceptor.async_accept([this](const boost::system::error_code &, tcp::socket s) { held = std::move(s); });
   }
   uint16_t Port() const { return acceptor.local_endpoint().port(); }
   tcp::acceptor acceptor;
   std::optional<tcp::socket> held;
};

TEST(ClientSocketTest, ReadLimitEndsACallThatGetsNoAnswer)
{
   boost::asio::io_context io;
   SilentListener silent(io);
   Ruvo::Asio::StreamLimits limits;
   limits.readLimit = 300ms;
   Ruvo::Asio::TcpBaseConnector connector(io, "127.0.0.1", silent.Port(), limits);
   auto start = std::chrono::steady_clock::now();
   auto r = Call(io, connector, "127.0.0.1", "{}");
   auto elapsed = std::chrono::steady_clock::now() - start;
   EXPECT_EQ(r.phase, ClientPhase::Recv);
   EXPECT_EQ(r.error, boost::asio::error::operation_aborted);
   EXPECT_GE(elapsed, 290ms);
   EXPECT_LT(elapsed, 3s);
}

TEST(ClientSocketTest, HandshakeThatNeverCompletesIsAConnectFailure)
{
   boost::asio::io_context io;
   SilentListener silent(io);
   Ruvo::Asio::StreamLimits limits;
   limits.readLimit = 300ms;
   auto pki = ZarnaTesting::TestPki::Make();
   auto base = std::make_shared<Ruvo::Asio::TcpBaseConnector>(io, "localhost", silent.Port(), limits);
   Ruvo::Security::Openssl::TlsConnector connector(base, Ruvo::Security::Openssl::CreateClientTlsContext(pki.ChainPems()));
   auto r = Call(io, connector, "localhost", "{}");
   EXPECT_EQ(r.phase, ClientPhase::Connect);
   EXPECT_TRUE(r.error);
}

TEST(ClientSocketTest, RefusedAndUnresolvableAreConnectFailures)
{
   boost::asio::io_context io;
   int port = ZarnaTesting::FreeTcpPort();
   Ruvo::Asio::TcpBaseConnector refused(io, "127.0.0.1", static_cast<uint16_t>(port), {});
   auto r = Call(io, refused, "127.0.0.1", "{}");
   EXPECT_EQ(r.phase, ClientPhase::Connect);
   EXPECT_EQ(r.error, boost::asio::error::connection_refused);
   Ruvo::Asio::TcpBaseConnector nowhere(io, "no-such-host.invalid", 443, {});
   r = Call(io, nowhere, "no-such-host.invalid", "{}");
   EXPECT_EQ(r.phase, ClientPhase::Connect);
   EXPECT_TRUE(r.error);
}

} // namespace

namespace {

TEST(ClientHostTest, OnlyANameOrAnAddressIsConnectedToAndWritten)
{
   struct Case {
      std::string host;
      bool valid;
      std::string header;
   };
   std::vector<Case> cases = {
      {"attestd.example", true, "attestd.example"},
      {"localhost.", true, "localhost."},
      {"a_b-c.d1", true, "a_b-c.d1"},
      {"127.0.0.1", true, "127.0.0.1"},
      {"::1", true, "[::1]"},
      {"fe80::1%lo", false, ""},
      {"", false, ""},
      {".", false, ""},
      {"a..b", false, ""},
      {"host name", false, ""},
      {"evil\r\nX-Injected: 1", false, ""},
      {"[::1]", false, ""},
      {"host:443", false, ""},
      {std::string(64, 'a') + ".example", false, ""},
      {std::string(63, 'a') + ".example", true, std::string(63, 'a') + ".example"},
      {std::string(254, 'a'), false, ""},
   };
   for (const Case &c : cases) {
      std::string header = "unchanged";
      EXPECT_EQ(Ruvo::Asio::HostHeaderForm(c.host, header), c.valid) << c.host;
      if (c.valid) {
         EXPECT_EQ(header, c.header);
      }
   }
   // A host that fails the check never reaches the resolver.
   boost::asio::io_context io;
   Ruvo::Asio::TcpBaseConnector connector(io, "evil\r\nX-Injected: 1", 443, {});
   auto r = Call(io, connector, "unused", "{}");
   EXPECT_EQ(r.error, boost::asio::error::invalid_argument);
   EXPECT_EQ(r.phase, ClientPhase::Connect);
}

} // namespace
