// Session resumption by the TLS client against an in-process OpenSSL server whose
// behaviour each test picks: every handshake the server sees is recorded as
// resumed or full, so a test can tell which one the client actually did.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/tls_context.h"
#include "runtime/ruvo/transport/tls_session_cache.h"
#include "tests/transport/transport_fixture.h"

namespace {

using namespace std::chrono_literals;
using namespace TransportTesting;
using Ruvo::Security::Openssl::TlsSessionCache;
using ZarnaTesting::CertSpec;
using ZarnaTesting::TestCert;

enum class Seen { Full, Resumed, Failed };

// Accepts connections until destroyed; handshakes with whatever context is current.
class TlsServer {
public:
   explicit TlsServer(ContextPtr context) : mContext(std::move(context))
   {
      mListen = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof addr;
      if (bind(mListen, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
          listen(mListen, 16) != 0 ||
          getsockname(mListen, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
         ADD_FAILURE() << "cannot listen";
      }
      port = ntohs(addr.sin_port);
      mThread = std::thread([this] { Run(); });
   }
   ~TlsServer()
   {
      mStop = true;
      mThread.join();
      close(mListen);
   }

   // A restart of the service with another context (certificate, ticket keys).
   void SetContext(ContextPtr context)
   {
      std::lock_guard<std::mutex> lock(mMutex);
      mContext = std::move(context);
   }

   // The handshakes seen so far, once there are at least n of them.
   std::vector<Seen> WaitFor(size_t n)
   {
      std::unique_lock<std::mutex> lock(mMutex);
      mChanged.wait_for(lock, 10s, [&] { return mSeen.size() >= n; });
      return mSeen;
   }

   uint16_t port = 0;

private:
   void Run()
   {
      while (!mStop) {
         pollfd pfd{mListen, POLLIN, 0};
         if (poll(&pfd, 1, 50) <= 0) {
            continue;
         }
         int fd = accept(mListen, nullptr, nullptr);
         if (fd < 0) {
            continue;
         }
         ContextPtr context;
         {
            std::lock_guard<std::mutex> lock(mMutex);
            context = mContext;
         }
         SSL *ssl = SSL_new(context->native_handle());
         SSL_set_fd(ssl, fd);
         timeval tv{5, 0};
         setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
         Seen seen = SSL_accept(ssl) == 1 ? (SSL_session_reused(ssl) ? Seen::Resumed : Seen::Full)
                                          : Seen::Failed;
         if (seen != Seen::Failed) {
            // Wait for the client to finish with the connection.
            char byte;
            SSL_read(ssl, &byte, 1);
         }
         SSL_free(ssl);
         close(fd);
         std::lock_guard<std::mutex> lock(mMutex);
         mSeen.push_back(seen);
         mChanged.notify_all();
      }
   }

   std::mutex mMutex;
   std::condition_variable mChanged;
   ContextPtr mContext;
   std::vector<Seen> mSeen;
   std::atomic<bool> mStop{false};
   int mListen = -1;
   std::thread mThread;
};

class TlsResumptionTest : public ::testing::Test {
protected:
   void SetUp() override { TlsSessionCache::Instance().Clear(); }

   ContextPtr ServerContext(const TestCert &leaf, const std::string &name) { return ServerTls(dir, name, leaf); }

   ContextPtr Client(const TestCert &trusted)
   {
      return Ruvo::Security::Openssl::CreateClientTlsContext({trusted.Pem()});
   }

   ZarnaTesting::TempDir dir;
   TestCert root = TestCert::SelfSigned(CertSpec::Ca("resumption root"));
   TestCert good = root.Issue(CertSpec::Leaf("localhost", "127.0.0.1"));
};

TEST_F(TlsResumptionTest, ServerModeTicketsResumeAcrossClientsWithTheSameTrust)
{
   TlsServer server(ServerContext(good, "good"));
   EXPECT_FALSE(TlsConnect("localhost", server.port, Client(root)).resumed);
   // A new client (as each operation builds) with the same CAs resumes, by name and by address.
   auto second = TlsConnect("localhost", server.port, Client(root));
   EXPECT_TRUE(second.connected && second.resumed) << second.error;
   EXPECT_FALSE(TlsConnect("127.0.0.1", server.port, Client(root)).resumed);
   EXPECT_TRUE(TlsConnect("127.0.0.1", server.port, Client(root)).resumed);
   EXPECT_EQ(server.WaitFor(4),
             (std::vector<Seen>{Seen::Full, Seen::Resumed, Seen::Full, Seen::Resumed}));
}

TEST_F(TlsResumptionTest, ServerRefusingResumptionGetsFullHandshakes)
{
   auto context = ServerContext(good, "good");
   Ruvo::Security::Openssl::RefuseResumption(*context);
   TlsServer server(context);
   for (int i = 0; i < 3; ++i) {
      auto outcome = TlsConnect("localhost", server.port, Client(root));
      EXPECT_TRUE(outcome.connected && !outcome.resumed) << outcome.error;
   }
   EXPECT_EQ(server.WaitFor(3), (std::vector<Seen>(3, Seen::Full)));
}

TEST_F(TlsResumptionTest, RejectedTicketFallsBackWithoutError)
{
   TlsServer server(ServerContext(good, "good"));
   ASSERT_TRUE(TlsConnect("localhost", server.port, Client(root)).connected);
   // Restarted with new ticket keys: the old ticket is ignored, a full handshake follows
   // and its new session is the one resumed next.
   server.SetContext(ServerContext(good, "good"));
   auto outcome = TlsConnect("localhost", server.port, Client(root));
   EXPECT_TRUE(outcome.connected && !outcome.resumed) << outcome.error;
   EXPECT_TRUE(TlsConnect("localhost", server.port, Client(root)).resumed);

   // A server that breaks off any handshake offering a ticket: the caller still
   // connects, through one full handshake on a new connection.
   auto hostile = ServerContext(good, "good");
   SSL_CTX_set_client_hello_cb(
       hostile->native_handle(),
       [](SSL *ssl, int *alert, void *) {
          const unsigned char *ticket = nullptr;
          size_t length = 0;
          if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_session_ticket, &ticket, &length) == 1 &&
              length > 0) {
             *alert = SSL_AD_HANDSHAKE_FAILURE;
             return SSL_CLIENT_HELLO_ERROR;
          }
          return SSL_CLIENT_HELLO_SUCCESS;
       },
       nullptr);
   server.SetContext(hostile);
   outcome = TlsConnect("localhost", server.port, Client(root));
   EXPECT_TRUE(outcome.connected && !outcome.resumed) << outcome.error;
   EXPECT_EQ(server.WaitFor(5),
             (std::vector<Seen>{Seen::Full, Seen::Full, Seen::Resumed, Seen::Failed, Seen::Full}));
}

TEST_F(TlsResumptionTest, ChangedCertificateIsCheckedAgainAndForgotten)
{
   TlsServer server(ServerContext(good, "good"));
   ASSERT_TRUE(TlsConnect("localhost", server.port, Client(root)).connected);
   ASSERT_EQ(TlsSessionCache::Instance().Size(), 1u);
   // Same service, now with a certificate for another name: the full handshake
   // applies the host check and the kept session is dropped.
   server.SetContext(ServerContext(root.Issue(CertSpec::Leaf("elsewhere.example")), "other"));
   EXPECT_FALSE(TlsConnect("localhost", server.port, Client(root)).connected);
   EXPECT_EQ(TlsSessionCache::Instance().Size(), 0u);
   server.SetContext(ServerContext(good, "good"));
   EXPECT_FALSE(TlsConnect("localhost", server.port, Client(root)).resumed);
   EXPECT_EQ(server.WaitFor(4),
             (std::vector<Seen>{Seen::Full, Seen::Failed, Seen::Failed, Seen::Full}));
}

TEST_F(TlsResumptionTest, ChangedTrustRootNeverResumesTheOldSession)
{
   TlsServer server(ServerContext(good, "good"));
   ASSERT_TRUE(TlsConnect("localhost", server.port, Client(root)).connected);
   // The server would resume the session, but the client now trusts another root only.
   TestCert otherRoot = TestCert::SelfSigned(CertSpec::Ca("other root"));
   EXPECT_FALSE(TlsConnect("localhost", server.port, Client(otherRoot)).connected);
   // Trusting both is yet another trust: a full handshake, which passes.
   auto both = Ruvo::Security::Openssl::CreateClientTlsContext({otherRoot.Pem(), root.Pem()});
   auto outcome = TlsConnect("localhost", server.port, both);
   EXPECT_TRUE(outcome.connected && !outcome.resumed) << outcome.error;
   // The session kept under the first trust is still good for it.
   EXPECT_TRUE(TlsConnect("localhost", server.port, Client(root)).resumed);
   EXPECT_EQ(server.WaitFor(4),
             (std::vector<Seen>{Seen::Full, Seen::Failed, Seen::Full, Seen::Resumed}));
}

TEST_F(TlsResumptionTest, ConcurrentConnectionsShareOneSession)
{
   TlsServer server(ServerContext(good, "good"));
   ASSERT_TRUE(TlsConnect("localhost", server.port, Client(root)).connected);
   std::vector<std::thread> threads;
   std::atomic<int> resumed{0};
   for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&] {
         if (TlsConnect("localhost", server.port, Client(root)).resumed) {
            ++resumed;
         }
      });
   }
   for (auto &thread : threads) {
      thread.join();
   }
   EXPECT_EQ(resumed, 4);
}

} // namespace
