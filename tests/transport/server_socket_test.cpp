// The server on real TCP and Unix domain sockets.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/transport/transport_fixture.h"

namespace {

using namespace TransportTesting;
using namespace std::chrono_literals;
using Ruvo::Transport::PicoHttp::ServerSettings;
using TcpServerTest = ServerTest;

TEST_F(TcpServerTest, KeepAliveAcrossRequestsUntilCloseInAnyCase)
{
   Serve();
   RawClient client(port);
   ASSERT_TRUE(client.Connected());
   for (int i = 0; i < 3; ++i) {
      std::string body = "{\"n\":" + std::to_string(i) + "}";
      ASSERT_TRUE(client.Send(Post(body)));
      std::string expected = BodyReply(body, true);
      EXPECT_EQ(client.Read(expected.size()), expected);
   }
   ASSERT_TRUE(client.Send(Post("{}", "Connection: KEEP-ALIVE, CLOSE\r\n")));
   std::string rest;
   EXPECT_TRUE(client.ReadUntilClosed(rest));
   EXPECT_EQ(rest, BodyReply("{}", false));
}

TEST_F(TcpServerTest, ChunkedRequestAndChunkedReply)
{
   Serve();
   RawClient client(port);
   ASSERT_TRUE(client.Send("POST /api HTTP/1.1\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
                           "Accept: application/vnd.talvor.ruvo+stream.json\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "a\r\n{\"id\":\"x\"}\r\n0\r\n\r\n"));
   std::string expected = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
                          "Transfer-Encoding: chunked\r\nConnection: Keep-Alive\r\nServer: PicoHttp\r\n\r\n"
                          "a\r\n{\"id\":\"x\"}\r\n0\r\n\r\n";
   EXPECT_EQ(client.Read(expected.size()), expected);
}

TEST_F(TcpServerTest, SlowAndMalformedClientsDoNotHoldUpOthers)
{
   ServerSettings settings;
   settings.readLimit = 600ms;
   Serve(settings);
   auto start = std::chrono::steady_clock::now();
   // One peer trickles a header a byte at a time, well inside any per-read limit.
   RawClient slow(port);
   std::atomic<bool> stop{false};
   std::thread trickle([&] {
      std::string header = "POST /api HTTP/1.1\r\nX-Slow: " + std::string(200, 's');
      for (char c : header) {
         if (stop || !slow.Send(std::string(1, c))) {
            break;
         }
         std::this_thread::sleep_for(20ms);
      }
   });
   RawClient garbage(port);
   ASSERT_TRUE(garbage.Send("\x16\x03\x01 not http at all\r\n\r\n"));
   std::string none;
   EXPECT_TRUE(garbage.ReadUntilClosed(none));
   EXPECT_EQ(none, "");
   RawClient good(port);
   EXPECT_TRUE(Served(good, "{\"ok\":1}"));
   EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
   // The trickling peer is cut off once its request has taken the read limit.
   std::string slowReply;
   EXPECT_TRUE(slow.ReadUntilClosed(slowReply, 3s));
   auto elapsed = std::chrono::steady_clock::now() - start;
   stop = true;
   trickle.join();
   EXPECT_GE(elapsed, 550ms);
   EXPECT_LT(elapsed, 2500ms);
   EXPECT_EQ(slowReply, "");
   EXPECT_EQ(logger->Count("Invalid Http request"), 4u) << logger->All(); // garbage and slow, 2 lines each
}

TEST_F(TcpServerTest, IdleKeepAliveConnectionIsClosedQuietly)
{
   ServerSettings settings;
   settings.readLimit = 300ms;
   Serve(settings);
   RawClient client(port);
   ASSERT_TRUE(client.Send(Post("{}")));
   std::string all;
   EXPECT_TRUE(client.ReadUntilClosed(all, 3s));
   EXPECT_EQ(all, BodyReply("{}", true));
   EXPECT_EQ(logger->Count("Invalid Http request"), 0u) << logger->All();
}

TEST_F(TcpServerTest, PeerThatDoesNotReadIsCutOffByTheWriteLimit)
{
   ServerSettings settings;
   settings.writeLimit = 500ms;
   Serve(settings);
   RawClient client(port);
   std::string body = "\"" + std::string(16 * 1024 * 1024, 'w') + "\"";
   std::thread sender([&] { client.Send(Post(body)); });
   sender.join();
   auto start = std::chrono::steady_clock::now();
   std::this_thread::sleep_for(1500ms);
   // By now the server gave up writing and closed; draining ends at its close.
   std::string got;
   EXPECT_TRUE(client.ReadUntilClosed(got, 5s));
   EXPECT_LT(got.size(), body.size());
   EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(TcpServerTest, ClosingLogsOneAcceptErrorPerAcceptor)
{
   Serve(std::make_shared<EchoHandler>(), {}, nullptr, 2);
   server->Close();
   for (int i = 0; i < 100 && logger->Count("Accept Error: ") < 2; ++i) {
      std::this_thread::sleep_for(10ms);
   }
   EXPECT_EQ(logger->Count("Accept Error: "), 2u);
   EXPECT_TRUE(logger->Has(Ruvo::Log::kError, "Accept Error: system:125")) << logger->All();
   RawClient late(port);
   EXPECT_FALSE(late.Connected());
}

// Serving on a Unix socket is the RPC tests' part.
TEST(LocalAcceptorTest, AnEmptyPathIsRefused)
{
   IoThreads io;
   boost::asio::local::stream_protocol::acceptor acceptor(io.Io());
   boost::system::error_code ec;
   EXPECT_FALSE(Ruvo::Asio::MakeLocalAcceptor(io.Io(), "", 128, acceptor, ec));
   EXPECT_EQ(ec.value(), 8);
   EXPECT_EQ(ec.message(), "server failed to listen");
}

} // namespace
