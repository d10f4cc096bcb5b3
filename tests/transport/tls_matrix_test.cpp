// The client's TLS rules against openssl s_server and against the transport's own
// TLS server mode.
#include <chrono>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/tls_context.h"
#include "tests/transport/transport_fixture.h"

namespace {

using namespace TransportTesting;
using ZarnaTesting::CertSpec;
using ZarnaTesting::TestCert;

struct Pki {
   TestCert root = TestCert::SelfSigned(CertSpec::Ca("matrix root"));
   TestCert intermediate = root.Issue(CertSpec::Ca("matrix intermediate"));
   std::vector<std::string> Trusted() const { return {root.Pem(), intermediate.Pem()}; }
};

class TlsMatrixTest : public ServerTest {
protected:
   Pki pki;
   ZarnaTesting::TempDir dir;
};

TEST_F(TlsMatrixTest, OnlyATls12PeerWithAValidTrustedCertificateForTheHostIsAccepted)
{
   Pki stranger;
   const std::string garbage = "-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n";
   struct Case {
      const char *what;
      CertSpec leaf;
      std::vector<std::string> serverArgs;
      std::string host;
      std::vector<std::string> trusted;
      bool connects;
   };
   const CertSpec good = CertSpec::Leaf("localhost", "127.0.0.1");
   const std::vector<Case> cases = {
      {"good peer", good, {}, "localhost", pki.Trusted(), true},
      {"TLS 1.1 only", good, {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, "localhost", pki.Trusted(), false},
      {"expired", CertSpec::Leaf("localhost", "127.0.0.1").Expired(), {}, "localhost", pki.Trusted(), false},
      {"wrong name", CertSpec::Leaf("other.example", "127.0.0.9"), {}, "localhost", pki.Trusted(), false},
      {"address entry", CertSpec::Leaf("other.example", "127.0.0.1"), {}, "127.0.0.1", pki.Trusted(), true},
      {"untrusted CA", good, {}, "localhost", stranger.Trusted(), false},
      {"garbage CA text", good, {}, "localhost", {garbage}, false},
      {"unreadable CA text skipped", good, {}, "localhost",
       {pki.root.Pem(), "not a certificate", pki.intermediate.Pem()}, true},
   };
   for (const Case &c : cases) {
      OpensslServer server(dir, pki.intermediate.Issue(c.leaf), pki.intermediate, c.serverArgs);
      ASSERT_TRUE(server.ready) << c.what << ": " << server.process->StderrText();
      auto outcome = TlsConnect(c.host, server.port, c.trusted);
      EXPECT_EQ(outcome.connected, c.connects) << c.what << ": " << outcome.error;
      EXPECT_NE(outcome.error, "no context") << c.what;
      if (c.connects) {
         EXPECT_EQ(outcome.version, TLS1_2_VERSION) << c.what;
      }
   }
}

// Whole calls over TLS are the RPC tests' part.
TEST_F(TlsMatrixTest, OwnTlsServerServesTheClient)
{
   auto leaf = pki.intermediate.Issue(CertSpec::Leaf("localhost", "127.0.0.1"));
   auto tls = ServerTls(dir, "server", leaf, pki.intermediate.Pem());
   ASSERT_TRUE(tls);
   std::string error;
   EXPECT_FALSE(Ruvo::Security::Openssl::CreateServerTlsContext(dir.File("server.pem"), dir.File("missing.key"), error));
   EXPECT_NE(error.find("missing.key"), std::string::npos);

   Serve({}, tls);
   auto outcome = TlsConnect("localhost", port, pki.Trusted());
   EXPECT_TRUE(outcome.connected) << outcome.error;
   EXPECT_EQ(outcome.version, TLS1_2_VERSION);
   EXPECT_FALSE(TlsConnect("wrong.example", port, pki.Trusted()).connected);

   // A plain-text peer on the TLS port gets nothing back and does not stop the server.
   RawClient plain(port);
   ASSERT_TRUE(plain.Send(Post("{}")));
   std::string none;
   EXPECT_TRUE(plain.ReadUntilClosed(none));
   EXPECT_TRUE(TlsConnect("localhost", port, pki.Trusted()).connected);
}

// The name check follows RFC 6125: DNS names only (the subject common name is
// never read), wildcards only as a whole left-most label, addresses only against
// IP address entries.
TEST_F(TlsMatrixTest, HostIsCheckedAgainstSubjectAltNamesOnly)
{
   auto serve = [&](const std::string &commonName, std::vector<std::string> dns, std::vector<std::string> ips) {
      CertSpec spec;
      spec.commonName = commonName;
      spec.dnsNames = std::move(dns);
      spec.ipAddresses = std::move(ips);
      return Serve({}, ServerTls(dir, "leaf" + std::to_string(servers.size()), pki.intermediate.Issue(spec),
                                 pki.intermediate.Pem()));
   };
   EXPECT_FALSE(TlsConnect("localhost", serve("localhost", {"other.example"}, {}), pki.Trusted()).connected);
   EXPECT_FALSE(TlsConnect("localhost", serve("*", {}, {}), pki.Trusted()).connected);
   EXPECT_FALSE(TlsConnect("127.0.0.1", serve("127.0.0.1", {"localhost"}, {}), pki.Trusted()).connected);
   EXPECT_FALSE(TlsConnect("localhost", serve("localhost", {"*", "local*"}, {}), pki.Trusted()).connected);
   auto byIp = TlsConnect("127.0.0.1", serve("zarna test", {"other.example"}, {"127.0.0.1"}), pki.Trusted());
   EXPECT_TRUE(byIp.connected) << byIp.error;
}

} // namespace
