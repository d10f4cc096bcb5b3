#include "runtime/ruvo/transport/pico_http_server_transport_helper.h"

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
   void Run(ServerSettings settings = {})
   {
      auto conn = PicoHttpServerTransportHelper::Create(stream, handler, settings, logger);
      conn->Start();
      conn.reset();
      stream->RunUntilIdle();
   }

   void TearDown() override
   {
      stream->DropPending();
      handler->held = nullptr;
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

TEST_F(ServerConnectionTest, ChunkedStreamedRequestBody)
{
   stream->AddInput("POST /api HTTP/1.1\r\nContent-Type: application/vnd.talvor.ruvo.framed\r\n"
                    "Transfer-Encoding: chunked\r\nContent-Length: 999\r\n\r\n"
                    "7\r\n{\"m\":1}\r\n");
   stream->AddInput("7\r\n{\"m\":2}\r\n0\r\n\r\n");
   stream->AddInput(Post("{\"next\":1}"));
   Run();
   ASSERT_EQ(handler->bodies.size(), 2u);
   EXPECT_EQ(handler->bodies[0], "{\"m\":1}");
   EXPECT_EQ(handler->bodies[1], "{\"next\":1}");
   // The clean types aside, a whole-body reply carries application/json.
   EXPECT_NE(stream->Written().find("Content-Type: application/json\r\n"), std::string::npos);
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
      stream->DropPending();
      stream = std::make_shared<FakeByteStream>();
      logger = std::make_shared<Log::Testing::RecordingLogger>();
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

TEST_F(ServerConnectionTest, UndispatchableRequestsGet400AndClose)
{
   for (std::string input : {std::string("GET /api HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"),
                             std::string("POST /api HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}")}) {
      stream->DropPending();
      stream = std::make_shared<FakeByteStream>();
      stream->AddInput(input + Post("{}"));
      Run();
      EXPECT_EQ(stream->Written(),
                "HTTP/1.1 400 Bad Request\r\nContent-Length: " +
                   std::to_string(PicoHttpServerTransportHelper::kBadRequestText.size()) +
                   "\r\nContent-Type: text/plain\r\nConnection: close\r\nServer: PicoHttp\r\n\r\n" +
                   std::string(PicoHttpServerTransportHelper::kBadRequestText));
      EXPECT_TRUE(stream->Closed());
   }
   EXPECT_TRUE(handler->bodies.empty());
   stream->DropPending();
   stream = std::make_shared<FakeByteStream>();
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
