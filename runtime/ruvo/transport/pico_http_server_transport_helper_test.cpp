#include "runtime/ruvo/transport/pico_http_server_transport_helper.h"

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/testing/fake_byte_stream.h"
#include "runtime/ruvo/transport/testing/recording_logger.h"
#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

using Asio::Testing::FakeByteStream;

// Echoes the body back as the reply, or does what the test sets.
class ScriptedHandler : public HttpRequestHandler {
public:
   bool Handle(const HttpServerRequest &request, HttpReplyCb reply) override
   {
      bodies.emplace_back(request.body);
      for (const auto &h : request.request.headers) {
         if (h.Name() == "accept-language") {
            languages.emplace_back(h.Value());
         }
      }
      if (!accept) {
         return false;
      }
      if (hold) {
         held = std::move(reply);
         return true;
      }
      HttpServerReply r = next;
      if (r.body.empty()) {
         r.body = std::string(request.body);
      }
      reply(std::move(r));
      return true;
   }

   bool accept = true;
   bool hold = false;
   HttpReplyCb held;
   HttpServerReply next;
   std::vector<std::string> bodies;
   std::vector<std::string> languages;
};

class ServerConnectionTest : public ::testing::Test {
protected:
   // Starts a connection on `on` (the test's stream by default); it lives on its stream's handlers.
   void Start(const ServerSettings &settings = {}, std::shared_ptr<ConnectionSlot> slot = nullptr,
              std::shared_ptr<FakeByteStream> on = nullptr)
   {
      PicoHttpServerTransportHelper::Create(on ? on : stream, handler, settings, logger, std::move(slot))->Start();
   }
   void Run(const ServerSettings &settings = {})
   {
      Start(settings);
      stream->RunUntilIdle();
   }

   void TearDown() override
   {
      stream->DropPending();
      handler->held = nullptr;
   }
   // A new connection's stream (and log) for the next case.
   void Fresh()
   {
      stream->DropPending();
      stream = std::make_shared<FakeByteStream>();
      logger = std::make_shared<Log::Testing::RecordingLogger>();
   }

   static std::string Post(const std::string &body, const std::string &extra = "")
   {
      return "POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
   }

   std::shared_ptr<FakeByteStream> stream = std::make_shared<FakeByteStream>();
   std::shared_ptr<ScriptedHandler> handler = std::make_shared<ScriptedHandler>();
   std::shared_ptr<Log::Testing::RecordingLogger> logger = std::make_shared<Log::Testing::RecordingLogger>();
};

TEST_F(ServerConnectionTest, WholeBodyRequestsOnOneKeepAliveConnection)
{
   // Two pipelined requests in one piece, a third split byte by byte.
   stream->AddInput(Post("{\"a\":1}") + Post("{\"b\":2}"));
   for (char c : Post("{\"c\":3}")) {
      stream->AddInput(std::string(1, c));
   }
   stream->EndInputWith(boost::asio::error::eof);
   Run();
   ASSERT_EQ(handler->bodies.size(), 3u);
   EXPECT_EQ(handler->bodies[2], "{\"c\":3}");
   auto reply = [](const std::string &body) {
      return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nContent-Type: application/json\r\nConnection: Keep-Alive\r\nServer: PicoHttp\r\n\r\n" + body;
   };
   EXPECT_EQ(stream->Written(), reply("{\"a\":1}") + reply("{\"b\":2}") + reply("{\"c\":3}"));
   EXPECT_TRUE(stream->Closed());
   // End of stream between requests is not worth a log line.
   EXPECT_EQ(logger->Count("Invalid Http request"), 0u);
}

TEST_F(ServerConnectionTest, CloseInAnyCaseRepliesCloseAndStops)
{
   stream->AddInput(Post("{}", "Connection: ClOsE\r\n") + Post("{\"never\":1}"));
   Run();
   EXPECT_EQ(handler->bodies.size(), 1u);
   EXPECT_NE(stream->Written().find("\r\nConnection: close\r\n"), std::string::npos);
   EXPECT_TRUE(stream->Closed());
}

TEST_F(ServerConnectionTest, StreamingAcceptGetsChunkedReply)
{
   handler->next.body = "{\"result\":true}";
   handler->next.extraHeaders = {{"ruvo-x", "1"}, {"bad\r\nname", "v"}, {"ok", "evil\r\nInjected: 1"}};
   stream->AddInput(Post("{}", "Accept: application/vnd.talvor.ruvo+stream.json\r\nConnection: close\r\n"));
   Run();
   EXPECT_EQ(stream->Written(),
             "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
             "Transfer-Encoding: chunked\r\nConnection: close\r\nServer: PicoHttp\r\nruvo-x: 1\r\n\r\n"
             "f\r\n{\"result\":true}\r\n0\r\n\r\n");
}

TEST_F(ServerConnectionTest, TransferEncodingDecidesTheFramingWhateverTheContentType)
{
   // Chunked JSON: one message over several chunks, the next request right behind.
   stream->AddInput("POST /api HTTP/1.1\r\nContent-Type: application/json\r\n"
                    "Transfer-Encoding: Chunked\r\n\r\n"
                    "4\r\n{\"a\"\r\n");
   stream->AddInput("3\r\n:1}\r\n0\r\n\r\n" + Post("{\"next\":1}"));
   // A streamed type: one message per chunk, the first is the request.
   stream->AddInput("POST /api HTTP/1.1\r\nContent-Type: application/vnd.talvor.ruvo.framed\r\n"
                    "Transfer-Encoding: chunked\r\n\r\n7\r\n{\"m\":1}\r\n7\r\n{\"m\":2}\r\n0\r\n\r\n");
   // A streamed type with only a length is read as one whole body.
   stream->AddInput("POST /api HTTP/1.1\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
                    "Content-Length: 7\r\n\r\n{\"w\":1}");
   Run();
   EXPECT_EQ(handler->bodies,
             (std::vector<std::string>{"{\"a\":1}", "{\"next\":1}", "{\"m\":1}", "{\"w\":1}"}));
   EXPECT_EQ(logger->Count("Invalid Http request"), 0u) << logger->All();
   // The clean types aside, a whole-body reply carries application/json.
   EXPECT_NE(stream->Written().find("Content-Type: application/json\r\n"), std::string::npos);
}

// A length the header claims costs nothing until its bytes arrive, and what does
// arrive is charged to the server's shared cap.
TEST_F(ServerConnectionTest, BufferGrowsWithBytesReceivedUnderTheSharedCap)
{
   auto load = std::make_shared<ServerLoad>(10, 400 * 1024);
   ASSERT_TRUE(load->TryAddConnection());
   Start({}, std::make_shared<ConnectionSlot>(load));
   stream->AddInput("POST /api HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 19000000\r\n\r\n\"" +
                    std::string(1000, 'x'));
   stream->RunUntilIdle();
   EXPECT_TRUE(stream->ReadPending());
   EXPECT_EQ(load->BufferedBytes(), 0u);
   stream->AddInput(std::string(100 * 1024, 'x'));
   stream->RunUntilIdle();
   EXPECT_TRUE(stream->ReadPending());
   EXPECT_GT(load->BufferedBytes(), 50u * 1024);
   EXPECT_LE(load->BufferedBytes(), 2u * 102 * 1024);

   // A second connection cannot take what the first holds beyond the cap: it is
   // closed without a reply, with one line however many are refused.
   for (int i = 0; i < 3; ++i) {
      auto other = std::make_shared<FakeByteStream>();
      ASSERT_TRUE(load->TryAddConnection());
      Start({}, std::make_shared<ConnectionSlot>(load), other);
      other->AddInput(Post("\"" + std::string(300 * 1024, 'y') + "\""));
      other->RunUntilIdle();
      EXPECT_TRUE(other->Closed());
      EXPECT_EQ(other->Written(), "");
      other->DropPending();
   }
   EXPECT_EQ(logger->Count("Request refused: the server's receive buffers are full"), 1u) << logger->All();
   EXPECT_EQ(load->Connections(), 1u);
   stream->DropPending();
   EXPECT_EQ(load->BufferedBytes(), 0u);
   EXPECT_EQ(load->Connections(), 0u);
   EXPECT_TRUE(handler->bodies.empty());
}

TEST_F(ServerConnectionTest, WaitingForARequestIsBoundedByTheIdleLimit)
{
   ServerSettings settings;
   settings.idleLimit = std::chrono::seconds(7);
   settings.readLimit = std::chrono::seconds(100);
   handler->hold = true;
   Run(settings);
   stream->AddInput("P");
   stream->RunUntilIdle();
   stream->AddInput(Post("{}").substr(1) + Post("{}"));
   stream->RunUntilIdle();
   ASSERT_TRUE(handler->held);
   handler->held(HttpServerReply{});
   stream->RunUntilIdle();
   handler->held(HttpServerReply{});
   stream->RunUntilIdle();
   using std::chrono::seconds;
   // Fresh connection (handshake, then the first request); its first byte; the
   // pipelined request already begun; then nothing left, so idle again.
   EXPECT_EQ(stream->WindowLimits(), (std::vector<std::chrono::steady_clock::duration>{
                                        seconds(7), seconds(7), seconds(100), seconds(100), seconds(7)}));
}

TEST_F(ServerConnectionTest, HeaderPhaseErrorsDropTheConnectionWithoutReply)
{
   struct Case {
      std::string input;
      int code;
   };
   std::vector<Case> cases = {
      {"POST /api HTTP/1.1\r\nContent-Type: application/json\r\n\r\n", 11},
      {"POST /api HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n", 9},
      {"POST /api HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 11},
      {"POST /api HTTP/1.1\r\nBad Header\r\n\r\n", 5},
      {"POST /api HTTP/1.1\r\nX: " + std::string(70000, 'x'), 6},
      {"POST /api HTTP/1.1\r\nContent-Length: 30000000\r\n\r\n", 9},
      {"POST /api HTTP/1.1\r\nContent-Type: application/json+stream.json\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 1},
      {"POST /api HTTP/1.1\r\nContent-Type: application/json+stream.json\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 10},
   };
   for (const Case &c : cases) {
      Fresh();
      stream->AddInput(c.input);
      Run();
      EXPECT_EQ(stream->Written(), "") << c.code;
      EXPECT_TRUE(stream->Closed()) << c.code;
      EXPECT_TRUE(logger->Has(Log::kInfo, "Invalid Http request")) << c.code;
      EXPECT_EQ(logger->Count("Invalid Http request: Ruvo Transport Http:" + std::to_string(c.code) + " "), 1u)
         << c.code << "\n" << logger->All();
   }
   EXPECT_TRUE(handler->bodies.empty());
}

TEST_F(ServerConnectionTest, RequestLimitBoundsHeaderPlusChunkedBody)
{
   ServerSettings settings;
   settings.maxRequestBytes = 300;
   std::string chunk(100, 'x');
   stream->AddInput("POST /api HTTP/1.1\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
                    "Transfer-Encoding: chunked\r\n\r\n");
   for (int i = 0; i < 5; ++i) {
      stream->AddInput("64\r\n" + chunk + "\r\n");
   }
   Run(settings);
   EXPECT_EQ(stream->Written(), "");
   EXPECT_EQ(logger->Count("Ruvo Transport Http:9 "), 1u) << logger->All();
}

// Ambiguous framing, a method other than POST, a type the server does not take,
// a request the handler refuses: a 400 and the connection closes.
TEST_F(ServerConnectionTest, UndispatchableRequestsGet400AndClose)
{
   const std::string chunked = "\r\n7\r\n{\"x\":1}\r\n0\r\n\r\n";
   const std::string json = "POST /api HTTP/1.1\r\nContent-Type: application/json\r\n";
   for (std::string input : {json + "Transfer-Encoding: chunked\r\nContent-Length: 12\r\n" + chunked,
                             json + "Content-Length: 12\r\nTransfer-Encoding: gzip, chunked\r\n" + chunked,
                             json + "Transfer-Encoding: gzip\r\n" + chunked,
                             json + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n" + chunked,
                             std::string("GET /api HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"),
                             std::string("POST /api HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}")}) {
      Fresh();
      stream->AddInput(input + Post("{}"));
      Run();
      EXPECT_EQ(stream->Written(),
                "HTTP/1.1 400 Bad Request\r\nContent-Length: " +
                   std::to_string(PicoHttpServerTransportHelper::kBadRequestText.size()) +
                   "\r\nContent-Type: text/plain\r\nConnection: close\r\nServer: PicoHttp\r\n\r\n" +
                   std::string(PicoHttpServerTransportHelper::kBadRequestText))
         << input;
      EXPECT_TRUE(stream->Closed()) << input;
   }
   EXPECT_TRUE(handler->bodies.empty());
   Fresh();
   handler->accept = false;
   stream->AddInput(Post("{}"));
   Run();
   EXPECT_EQ(stream->Written().substr(0, 24), "HTTP/1.1 400 Bad Request");
}

TEST_F(ServerConnectionTest, HttpStatusReplyClosesEvenWithKeepAlive)
{
   handler->next.httpStatus = true;
   handler->next.status = 404;
   handler->next.statusMessage = "NotFound";
   handler->next.body = "{\"e\":1}";
   stream->AddInput(Post("{}") + Post("{}"));
   Run();
   EXPECT_EQ(stream->Written(),
             "HTTP/1.1 404 NotFound\r\nContent-Length: 7\r\nContent-Type: application/json\r\n"
             "Connection: close\r\nServer: PicoHttp\r\n\r\n{\"e\":1}");
   EXPECT_EQ(handler->bodies.size(), 1u);
}

TEST_F(ServerConnectionTest, LateReplyFromElsewhereIsWrittenOnce)
{
   handler->hold = true;
   stream->AddInput(Post("{\"x\":1}", "Accept-Language: de-DE\r\n"));
   Run();
   EXPECT_EQ(stream->Written(), "");
   ASSERT_TRUE(handler->held);
   EXPECT_EQ(handler->languages, std::vector<std::string>{"de-DE"});
   HttpServerReply r;
   r.body = "{}";
   handler->held(r);
   handler->held(r);
   stream->RunUntilIdle();
   EXPECT_EQ(stream->Writes(), 1);
   EXPECT_TRUE(stream->ReadPending());
}

TEST_F(ServerConnectionTest, FailedWriteClosesTheConnection)
{
   stream->FailWrites(boost::asio::error::broken_pipe);
   stream->AddInput(Post("{}") + Post("{}"));
   Run();
   EXPECT_TRUE(stream->Closed());
   EXPECT_EQ(handler->bodies.size(), 1u);
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
