#include "runtime/ruvo/transport/http_client_exchange.h"

#include <optional>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/testing/fake_byte_stream.h"
#include "runtime/ruvo/transport/testing/recording_logger.h"
#include "runtime/ruvo/transport/transport_error.h"

namespace Ruvo::Transport::PicoHttp {
namespace {

using Asio::Testing::FakeByteStream;

class ClientExchangeTest : public ::testing::Test {
protected:
   ClientExchangeResult Exchange(const std::vector<std::string> &pieces, ClientLimits limits = {})
   {
      for (const auto &p : pieces) {
         stream->AddInput(p);
      }
      stream->EndInputWith(boost::asio::error::eof);
      std::optional<ClientExchangeResult> result;
      HttpClientExchange::Run(stream, "svc.local", "{\"q\":1}", limits, logger,
                              [&](ClientExchangeResult r) { result = std::move(r); });
      stream->RunUntilIdle();
      EXPECT_TRUE(result.has_value());
      EXPECT_TRUE(stream->Closed());
      return result ? *result : ClientExchangeResult();
   }

   std::shared_ptr<FakeByteStream> stream = std::make_shared<FakeByteStream>();
   std::shared_ptr<Log::Testing::RecordingLogger> logger = std::make_shared<Log::Testing::RecordingLogger>();
};

TEST_F(ClientExchangeTest, WritesTheRequestAndReadsAWholeBody)
{
   auto r = Exchange({"HTTP/1.1 500 Whatever\r\nContent-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"r\":1}"});
   ASSERT_FALSE(r.error) << r.error.message();
   // The status does not decide the outcome; the body does.
   EXPECT_EQ(r.status, 500);
   EXPECT_EQ(r.messages, std::vector<std::string>{"{\"r\":1}"});
   EXPECT_EQ(stream->Written(),
             "POST /api HTTP/1.1\r\nHost: svc.local\r\nContent-Length: 7\r\nContent-Type: application/json\r\n"
             "Accept: application/vnd.talvor.ruvo+stream.json,application/vnd.talvor.ruvo.framed,application/json\r\n"
             "Connection: close\r\nUser-Agent: Ruvo C++ runtime\r\n\r\n{\"q\":1}");
}

TEST_F(ClientExchangeTest, StreamedChunksAreMessagesAndPlainChunksOneMessage)
{
   auto r = Exchange({"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\n"
                      "Transfer-Encoding: chunked\r\n\r\n3\r\n{1}\r\n",
                      "3\r\n{2}\r\n0\r\n\r\n"});
   ASSERT_FALSE(r.error);
   EXPECT_EQ(r.messages, (std::vector<std::string>{"{1}", "{2}"}));
   stream->DropPending();
   stream = std::make_shared<FakeByteStream>();
   r = Exchange({"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: CHUNKED \r\n\r\n"
                 "2\r\n{\"\r\n4\r\na\":1\r\n1\r\n}\r\n0\r\n\r\n"});
   ASSERT_FALSE(r.error);
   EXPECT_EQ(r.messages, std::vector<std::string>{"{\"a\":1}"});
}

TEST_F(ClientExchangeTest, ResponseErrors)
{
   struct Case {
      std::string input;
      boost::system::error_code error;
      std::string text;
   };
   std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{}", Error::parse_error, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\n{}", Error::unsupported_content, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.talvor.ruvo+stream.json\r\nContent-Length: 2\r\n\r\n{}",
       Error::unsupported_content, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n", Error::end_of_body,
       "empty frame"},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       Error::end_of_body, "empty frame"},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n\r\n{}", Error::incomplete_frame, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{}", Error::incomplete_frame, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\nq\r\n", Error::invalid_frame_header, ""},
      {"HTTP/1.1 2x0 OK\r\n\r\n", Error::parse_error, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-", Error::parse_error, ""},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'x'), Error::http_headers_too_long, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 30000000\r\n\r\n", Error::http_request_too_long, ""},
      {"", boost::asio::error::eof, ""},
      // Framing the server side refuses too: a length beside chunks, other codings.
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
       "2\r\n{}\r\n0\r\n\r\n",
       Error::parse_error, ""},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: gzip\r\n\r\n{}", Error::parse_error, ""},
   };
   for (const Case &c : cases) {
      stream->DropPending();
      stream = std::make_shared<FakeByteStream>();
      auto r = Exchange({c.input});
      EXPECT_EQ(r.error, c.error) << c.input.substr(0, 120);
      EXPECT_EQ(r.phase, ClientPhase::Recv);
      EXPECT_EQ(r.errorText, c.text);
      EXPECT_TRUE(r.messages.empty());
   }
   EXPECT_EQ(logger->Count("Missing ContentLength"), 1u);
   EXPECT_EQ(logger->Count("Unsupported content:text/html TransferEncoding: "), 1u) << logger->All();
}

TEST_F(ClientExchangeTest, ChunkedBodyBeyondTheCeilingFails)
{
   ClientLimits limits;
   limits.maxResponseBytes = 8192;
   std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.talvor.ruvo.framed\r\nTransfer-Encoding: chunked\r\n\r\n";
   std::vector<std::string> pieces = {head};
   for (int i = 0; i < 20; ++i) {
      pieces.push_back("3e8\r\n" + std::string(1000, 'x') + "\r\n");
   }
   auto r = Exchange(pieces, limits);
   EXPECT_EQ(r.error, Error::http_request_too_long);
}

TEST_F(ClientExchangeTest, WriteFailureIsTheSendPhase)
{
   stream->FailWrites(boost::asio::error::broken_pipe);
   auto r = Exchange({});
   EXPECT_EQ(r.error, boost::asio::error::broken_pipe);
   EXPECT_EQ(r.phase, ClientPhase::Send);
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
