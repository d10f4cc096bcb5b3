// The client's TLS rules against openssl s_server and against the transport's own
// TLS server mode.
#include <chrono>
#include <optional>

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <gtest/gtest.h>

#include "runtime/ruvo/transport/connectors.h"
#include "runtime/ruvo/transport/http_client_exchange.h"
#include "runtime/ruvo/transport/pico_http_server.h"
#include "runtime/ruvo/transport/timeout_stream.h"
#include "runtime/ruvo/transport/tls_context.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/support/process.h"
#include "tests/transport/raw_client.h"

namespace {

using namespace TransportTesting;
using namespace std::chrono_literals;
using ZarnaTesting::CertSpec;
using ZarnaTesting::TestCert;

struct Pki {
   TestCert root = TestCert::SelfSigned(CertSpec::Ca("matrix root"));
   TestCert intermediate = root.Issue(CertSpec::Ca("matrix intermediate"));
   std::vector<std::string> Trusted() const { return {root.Pem(), intermediate.Pem()}; }
};

struct HandshakeOutcome {
   bool connected = false;
   int version = 0;
   std::string error;
};

// Connects and completes (or fails) the TLS handshake; nothing is sent.
HandshakeOutcome Handshake(const std::string &host, int port, const std::vector<std::string> &trusted)
{
   boost::asio::io_context io;
   HandshakeOutcome outcome;
   auto context = Ruvo::Security::Openssl::CreateClientTlsContext(trusted);
   if (!context) {
      outcome.error = "no context";
      return outcome;
   }
   Ruvo::Asio::StreamLimits limits;
   limits.readLimit = 5s;
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
      outcome.version = tls ? SSL_version(tls->Next().native_handle()) : 0;
      stream->Close();
   });
   io.run();
   return outcome;
}

class OpensslServer {
public:
   OpensslServer(const ZarnaTesting::TempDir &dir, const TestCert &leaf, const TestCert &intermediate,
                 std::vector<std::string> extra = {})
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
      ready = process->WaitForOutput("ACCEPT", 10s);
   }
   int port;
   std::optional<ZarnaTesting::ChildProcess> process;
   bool ready = false;
};

class TlsMatrixTest : public ::testing::Test {
protected:
   Pki pki;
   ZarnaTesting::TempDir dir;
};

TEST_F(TlsMatrixTest, GoodPeerNegotiatesTls12Only)
{
   OpensslServer server(dir, pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1")), pki.intermediate);
   ASSERT_TRUE(server.ready) << server.process->StderrText();
   auto outcome = Handshake("localhost", server.port, pki.Trusted());
   EXPECT_TRUE(outcome.connected) << outcome.error;
   EXPECT_EQ(outcome.version, TLS1_2_VERSION);
}

TEST_F(TlsMatrixTest, PeerOfferingOnlyTls11IsRefused)
{
   OpensslServer server(dir, pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1")), pki.intermediate,
                        {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"});
   ASSERT_TRUE(server.ready) << server.process->StderrText();
   EXPECT_FALSE(Handshake("localhost", server.port, pki.Trusted()).connected);
}

TEST_F(TlsMatrixTest, ExpiredCertificateIsRefused)
{
   OpensslServer server(dir, pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1").Expired()),
                        pki.intermediate);
   ASSERT_TRUE(server.ready);
   EXPECT_FALSE(Handshake("localhost", server.port, pki.Trusted()).connected);
}

TEST_F(TlsMatrixTest, WrongNameIsRefusedAndAnAddressNameIsChecked)
{
   OpensslServer server(dir, pki.intermediate.Issue(CertSpec::Leaf("other.example", "127.0.0.9")), pki.intermediate);
   ASSERT_TRUE(server.ready);
   EXPECT_FALSE(Handshake("localhost", server.port, pki.Trusted()).connected);
   OpensslServer byAddress(dir, pki.intermediate.Issue(CertSpec::Leaf("other.example", "127.0.0.1")),
                           pki.intermediate);
   ASSERT_TRUE(byAddress.ready);
   EXPECT_TRUE(Handshake("127.0.0.1", byAddress.port, pki.Trusted()).connected);
}

TEST_F(TlsMatrixTest, UntrustedCaAndGarbageCaTextAreRefused)
{
   OpensslServer server(dir, pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1")), pki.intermediate);
   ASSERT_TRUE(server.ready);
   Pki stranger;
   EXPECT_FALSE(Handshake("localhost", server.port, stranger.Trusted()).connected);
   OpensslServer again(dir, pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1")), pki.intermediate);
   ASSERT_TRUE(again.ready);
   auto outcome = Handshake("localhost", again.port, {"-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n"});
   EXPECT_FALSE(outcome.connected);
   EXPECT_NE(outcome.error, "no context");
}

TEST_F(TlsMatrixTest, UnreadableCaTextIsSkippedAndTheOthersStillTrusted)
{
   OpensslServer server(dir, pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1")), pki.intermediate);
   ASSERT_TRUE(server.ready);
   auto outcome = Handshake("localhost", server.port, {pki.root.Pem(), "not a certificate", pki.intermediate.Pem()});
   EXPECT_TRUE(outcome.connected) << outcome.error;
}

TEST_F(TlsMatrixTest, OwnTlsServerServesTheClient)
{
   auto leaf = pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1"));
   ZarnaTesting::WriteTextFile(dir.File("server.pem"), leaf.Pem() + pki.intermediate.Pem());
   leaf.Key().WritePrivatePem(dir.File("server.key"));
   std::string error;
   auto tls = Ruvo::Security::Openssl::CreateServerTlsContext(dir.File("server.pem"), dir.File("server.key"), error);
   ASSERT_TRUE(tls) << error;
   EXPECT_FALSE(Ruvo::Security::Openssl::CreateServerTlsContext(dir.File("server.pem"), dir.File("missing.key"), error));
   EXPECT_NE(error.find("missing.key"), std::string::npos);

   IoThreads serverIo;
   auto server = Ruvo::Transport::PicoHttp::AsioTcpApiServer::Create(serverIo.Io(), std::make_shared<EchoHandler>(),
                                                                     {}, nullptr, tls);
   boost::asio::ip::tcp::acceptor acceptor(serverIo.Io(), {boost::asio::ip::address_v4::loopback(), 0});
   int port = acceptor.local_endpoint().port();
   server->StartAccepting(std::move(acceptor));

   auto outcome = Handshake("localhost", port, pki.Trusted());
   EXPECT_TRUE(outcome.connected) << outcome.error;
   EXPECT_EQ(outcome.version, TLS1_2_VERSION);
   EXPECT_FALSE(Handshake("wrong.example", port, pki.Trusted()).connected);

   // A whole call over TLS.
   boost::asio::io_context io;
   auto base = std::make_shared<Ruvo::Asio::TcpBaseConnector>(io, "localhost", static_cast<uint16_t>(port),
                                                              Ruvo::Asio::StreamLimits{});
   Ruvo::Security::Openssl::TlsConnector connector(base, Ruvo::Security::Openssl::CreateClientTlsContext(pki.Trusted()));
   std::vector<std::string> messages;
   connector.AsyncConnect([&](const boost::system::error_code &ec, std::shared_ptr<Ruvo::Asio::ByteStream> stream) {
      ASSERT_FALSE(ec) << ec.message();
      Ruvo::Transport::PicoHttp::HttpClientExchange::Run(
         stream, "localhost", "{\"tls\":1}", {}, nullptr,
         [&](Ruvo::Transport::PicoHttp::ClientExchangeResult r) { messages = r.messages; });
   });
   io.run();
   EXPECT_EQ(messages, std::vector<std::string>{"{\"tls\":1}"});
   // A plain-text peer on the TLS port gets nothing back and does not stop the server.
   RawClient plain(port);
   ASSERT_TRUE(plain.Send(Post("{}")));
   std::string none;
   EXPECT_TRUE(plain.ReadUntilClosed(none));
   EXPECT_TRUE(Handshake("localhost", port, pki.Trusted()).connected);
   server->Close();
}

// The name check follows RFC 6125: DNS names only (the subject common name is
// never read), wildcards only as a whole left-most label, addresses only against
// IP address entries.
TEST_F(TlsMatrixTest, HostIsCheckedAgainstSubjectAltNamesOnly)
{
   IoThreads serverIo;
   std::vector<std::shared_ptr<Ruvo::Transport::PicoHttp::AsioTcpApiServer>> servers;
   auto serve = [&](const CertSpec &spec) {
      auto leaf = pki.intermediate.Issue(spec);
      std::string name = "leaf" + std::to_string(servers.size());
      ZarnaTesting::WriteTextFile(dir.File(name + ".pem"), leaf.Pem() + pki.intermediate.Pem());
      leaf.Key().WritePrivatePem(dir.File(name + ".key"));
      std::string error;
      auto tls = Ruvo::Security::Openssl::CreateServerTlsContext(dir.File(name + ".pem"), dir.File(name + ".key"), error);
      EXPECT_TRUE(tls) << error;
      servers.push_back(Ruvo::Transport::PicoHttp::AsioTcpApiServer::Create(
         serverIo.Io(), std::make_shared<EchoHandler>(), {}, nullptr, tls));
      boost::asio::ip::tcp::acceptor acceptor(serverIo.Io(), {boost::asio::ip::address_v4::loopback(), 0});
      int port = acceptor.local_endpoint().port();
      servers.back()->StartAccepting(std::move(acceptor));
      return port;
   };
   CertSpec cnOnly;
   cnOnly.commonName = "localhost";
   cnOnly.dnsNames = {"other.example"};
   EXPECT_FALSE(Handshake("localhost", serve(cnOnly), pki.Trusted()).connected);
   CertSpec star;
   star.commonName = "*";
   EXPECT_FALSE(Handshake("localhost", serve(star), pki.Trusted()).connected);
   CertSpec cnAddress;
   cnAddress.commonName = "127.0.0.1";
   cnAddress.dnsNames = {"localhost"};
   EXPECT_FALSE(Handshake("127.0.0.1", serve(cnAddress), pki.Trusted()).connected);
   CertSpec starEntry;
   starEntry.commonName = "localhost";
   starEntry.dnsNames = {"*", "local*"};
   EXPECT_FALSE(Handshake("localhost", serve(starEntry), pki.Trusted()).connected);
   CertSpec ipEntry;
   ipEntry.dnsNames = {"other.example"};
   ipEntry.ipAddresses = {"127.0.0.1"};
   int ipPort = serve(ipEntry);
   auto byIp = Handshake("127.0.0.1", ipPort, pki.Trusted());
   EXPECT_TRUE(byIp.connected) << byIp.error;
   for (auto &server : servers) {
      server->Close();
   }
}

} // namespace
