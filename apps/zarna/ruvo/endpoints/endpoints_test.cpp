#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "apps/zarna/ruvo/endpoints/local_socket_endpoint.h"
#include "apps/zarna/ruvo/endpoints/tcp_endpoint.h"
#include "runtime/hostctl/testing/private_namespace.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/binding/stub.h"
#include "runtime/ruvo/provider/local_provider.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "runtime/ruvo/transport/testing/recording_logger.h"
#include "runtime/tirel/app.h"
#include "runtime/tirel/config.h"
#include "tests/support/process.h"

namespace EndpointTest {

using EchoMethod = Ruvo::Binding::Operation<"echo", std::string, Ruvo::Binding::Param<std::string, "text">>;
using Decl = Ruvo::Binding::InterfaceDecl<"test.endpoint.svc", EchoMethod>;
using OtherDecl = Ruvo::Binding::InterfaceDecl<"test.endpoint.other", EchoMethod>;

struct Service {
   void Echo(const std::string &text, Ruvo::AsyncResult<std::string> result) { result.SetResult(text); }
};

template <class D>
class Stub : public Ruvo::Binding::ServiceStub<D> {
public:
   using Ruvo::Binding::ServiceStub<D>::ServiceStub;
   Ruvo::Outcome<std::string> Echo(boost::asio::io_context &io, const std::string &text)
   {
      Ruvo::Outcome<std::string> got;
      this->template Call<EchoMethod>(
         nullptr, Ruvo::AsyncResult<std::string>([&](Ruvo::Outcome<std::string> &&o) { got = std::move(o); }), text);
      io.restart();
      io.run();
      return got;
   }
};

} // namespace EndpointTest

namespace {

using namespace std::chrono_literals;
using EndpointTest::Decl;
using EndpointTest::OtherDecl;
using EndpointTest::Stub;

// The I/O context of the endpoints, run on a thread like the agent's I/O workers.
class Endpoints : public ::testing::Test {
protected:
   void SetUp() override
   {
      auto iface = Ruvo::Binding::BindInterface<Decl>(std::make_shared<EndpointTest::Service>(), nullptr,
                                                      &EndpointTest::Service::Echo);
      provider = Ruvo::Provider::AsyncLocalProvider::Create({iface});
      worker = std::thread([this] { io.run(); });
   }
   void TearDown() override
   {
      work.reset();
      io.stop();
      worker.join();
   }

   std::unique_ptr<Zarna::TcpEndpoint> Tcp(int port)
   {
      return std::make_unique<Zarna::TcpEndpoint>(port, io, provider, Ruvo::Provider::DirectEnqueuer(), nullptr, logger);
   }
   std::unique_ptr<Zarna::LocalSocketEndpoint> Local(const std::string &path)
   {
      return std::make_unique<Zarna::LocalSocketEndpoint>(path, io, provider, Ruvo::Provider::DirectEnqueuer(), nullptr,
                                                          logger);
   }
   Ruvo::Outcome<std::string> EchoTcp(const std::string &host, int port, const std::string &text)
   {
      return Stub<Decl>(Ruvo::Transport::PicoHttp::CreateHttpClientProvider(clientIo, host, static_cast<uint16_t>(port),
                                                                            nullptr))
         .Echo(clientIo, text);
   }
   template <class D = Decl>
   Ruvo::Outcome<std::string> EchoLocal(const std::string &path, const std::string &text)
   {
      return Stub<D>(Ruvo::Transport::PicoHttp::CreateLocalClientProvider(clientIo, path, nullptr)).Echo(clientIo, text);
   }

   HostlibTesting::LogCapture capture;
   std::shared_ptr<Ruvo::Log::Testing::RecordingLogger> logger = std::make_shared<Ruvo::Log::Testing::RecordingLogger>();
   boost::asio::io_context io;
   boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work = boost::asio::make_work_guard(io);
   std::thread worker;
   Ruvo::Core::AsyncApiProviderPtr provider;
   boost::asio::io_context clientIo;
};

bool Ipv6LoopbackUsable()
{
   int fd = socket(AF_INET6, SOCK_STREAM, 0);
   if (fd < 0) {
      return false;
   }
   sockaddr_in6 a{};
   a.sin6_family = AF_INET6;
   a.sin6_addr = in6addr_loopback;
   bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
   close(fd);
   return ok;
}

TEST_F(Endpoints, TcpEndpointListensOnBothLoopbacksAndServes)
{
   int port = ZarnaTesting::FreeTcpPort();
   {
      auto endpoint = Tcp(port);
      ASSERT_TRUE(endpoint->Start());
      EXPECT_TRUE(capture.Has(125, "HTTP endpoint listening on TCP port " + std::to_string(port)));
      EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "Listening on: 127.0.0.1:" + std::to_string(port))) << logger->All();
      auto got = EchoTcp("127.0.0.1", port, "v4");
      ASSERT_FALSE(got.IsError()) << got.error->ToString();
      EXPECT_EQ(*got.value, "v4");
      if (Ipv6LoopbackUsable()) {
         EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "Listening on: [::1]:" + std::to_string(port)));
         got = EchoTcp("::1", port, "v6");
         ASSERT_FALSE(got.IsError()) << got.error->ToString();
      }

      // A second endpoint on the same port fails for each family it tries.
      EXPECT_FALSE(Tcp(port)->Start());
      EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "IPv4 Failed to listen on: 127.0.0.1:" + std::to_string(port) +
                                                   " ec: system:98"))
         << logger->All();
   }
   // Destruction closed the listeners.
   for (int i = 0; i < 100 && logger->Count("Accept Error: ") == 0; ++i) {
      std::this_thread::sleep_for(10ms);
   }
   EXPECT_GE(logger->Count("Accept Error: system:125"), 1u);
   auto got = EchoTcp("127.0.0.1", port, "gone");
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->messages().at(0).GetId(), "ruvo.connect.failed");
}

// In a network namespace of its own with IPv6 switched off, the endpoint still
// listens on 127.0.0.1 and logs the IPv6 failure.
TEST_F(Endpoints, TcpEndpointStartsWithoutIpv6)
{
   ZARNA_RUN_IN_PRIVATE_NAMESPACES(CLONE_NEWNET);
   std::ofstream("/proc/sys/net/ipv6/conf/lo/disable_ipv6") << "1";
   ASSERT_FALSE(Ipv6LoopbackUsable()) << "IPv6 could not be switched off";
   EXPECT_TRUE(Tcp(7890)->Start()) << logger->All();
   EXPECT_EQ(logger->Count("IPv6 Failed to listen on: [::1]:7890 ec: system:"), 1u) << logger->All();
   EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "Listening on: 127.0.0.1:7890"));
}

TEST_F(Endpoints, LocalSocketReplacesAStaleFileServesAndRemovesItsFile)
{
   ZarnaTesting::TempDir dir;
   std::string path = dir.File("zarnaRuvoLocal.sock");
   std::ofstream(path) << "stale";
   {
      auto endpoint = Local(path);
      ASSERT_TRUE(endpoint->Start());
      EXPECT_TRUE(capture.Has(125, "Unix domain socket endpoint listening on " + path));
      EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "Listening on: " + path));
      auto got = EchoLocal(path, "local");
      ASSERT_FALSE(got.IsError()) << got.error->ToString();
      EXPECT_EQ(*got.value, "local");
      // Interfaces that are not bound on this chain are not found.
      got = EchoLocal<OtherDecl>(path, "x");
      ASSERT_TRUE(got.IsError());
      EXPECT_EQ(got.error->GetName(), "com.talvor.ruvo.std.errors.operation_not_found");
   }
   EXPECT_FALSE(std::filesystem::exists(path));
}

// A socket another process serves is not taken over, and a stop removes only
// the file its own start bound: whatever replaced it since stays.
TEST_F(Endpoints, LocalSocketLeavesOtherProcessesSocketFilesAlone)
{
   ZarnaTesting::TempDir dir;
   std::string path = dir.File("zarnaRuvoLocal.sock");
   {
      auto first = Local(path);
      ASSERT_TRUE(first->Start());
      auto second = Local(path);
      EXPECT_FALSE(second->Start());
      EXPECT_TRUE(capture.Has(110, "The socket " + path + " is served by another process"));
   } // `second` goes first: the file stays for `first`, which then removes it
   EXPECT_FALSE(std::filesystem::exists(path));

   {
      auto endpoint = Local(path);
      ASSERT_TRUE(endpoint->Start());
      std::filesystem::remove(path);
      std::ofstream(path) << "someone else's";
   }
   EXPECT_TRUE(std::filesystem::exists(path)) << "a file this endpoint did not bind was removed";
}

TEST_F(Endpoints, LocalSocketPathErrors)
{
   std::string longPath = "/tmp/" + std::string(103, 'p');
   ASSERT_EQ(longPath.size(), 108u);
   try {
      Local(longPath)->Start();
      ADD_FAILURE() << "no exception";
   } catch (const std::system_error &e) {
      EXPECT_EQ(e.code(), std::errc::filename_too_long);
   }
   EXPECT_FALSE(Local("/nonexistent-dir/x.sock")->Start());
   EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "UDS Failed to listen on: /nonexistent-dir/x.sock ec: system:2"))
      << logger->All();
   EXPECT_FALSE(Local("")->Start());
   EXPECT_TRUE(logger->Has(Ruvo::Log::kInfo, "UDS Failed to listen on:  ec: Ruvo Transport Http:8"));
}

} // namespace

namespace {

// The agent's "api/..." settings reach the server limits; a value out of range is
// logged and the default kept.
TEST(EndpointSettings, ApiKeysSetTheServerLimits)
{
   auto config = Tirel::Service::CreateScratchConfig();
   config->GetSettings().SetString("log/level", "info");
   config->GetSettings().SetInt("tirel/threadPool/maxThreads", 4);
   Tirel::Service::StartApp(config, nullptr);
   HostlibTesting::LogCapture capture;
   auto &settings = Tirel::Service::GetApp()->GetSettings();
   settings.SetInt("api/maxConnections", 7);
   settings.SetInt("api/idleTimeoutSec", 0);
   settings.SetInt("api/maxBufferedBytes", 1000);
   auto limits = Zarna::ConfiguredEndpointLimits();
   EXPECT_EQ(limits.maxConnections, 7u);
   EXPECT_EQ(limits.idleLimit, std::chrono::seconds(60));
   EXPECT_EQ(limits.maxBufferedBytes, Zarna::EndpointLimits().maxBufferedBytes);
   EXPECT_TRUE(capture.Has(115, "Ignoring api/idleTimeoutSec = 0 (allowed 1 to 1200)"));
   EXPECT_TRUE(capture.Contains("Ignoring api/maxBufferedBytes = 1000 (allowed 20000000 to"));
   settings.SetInt("api/idleTimeoutSec", 5);
   settings.SetInt("api/maxBufferedBytes", 50000000);
   limits = Zarna::ConfiguredEndpointLimits();
   auto server = limits.ToServerSettings("tcp");
   EXPECT_EQ(server.idleLimit, std::chrono::seconds(5));
   EXPECT_EQ(server.maxBufferedBytes, 50000000u);
   EXPECT_EQ(server.maxConnections, 7u);
   EXPECT_EQ(server.readLimit, std::chrono::seconds(1200));
}

} // namespace
