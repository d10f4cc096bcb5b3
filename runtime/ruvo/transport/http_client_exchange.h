// One request/response exchange of the client on a connected stream: writes the
// request, reads and checks the response, and yields the JSON messages of its body.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

#include "runtime/ruvo/log/logger.h"
#include "runtime/ruvo/transport/byte_stream.h"
#include "runtime/ruvo/transport/http_message.h"
#include "runtime/ruvo/transport/http_writer.h"
#include "runtime/ruvo/transport/phr_parse.h"

namespace Ruvo::Transport::PicoHttp {

enum class ClientPhase { Connect, Send, Recv };

struct ClientExchangeResult {
   // No error: messages holds at least one message.
   boost::system::error_code error;
   ClientPhase phase = ClientPhase::Recv;
   // Replaces the error's text where the error alone says too little ("empty frame").
   std::string errorText;
   int status = 0;
   std::vector<std::string> messages;
};

struct ClientLimits {
   // Ceiling of the receive buffer: header block plus body bytes.
   size_t maxResponseBytes = 20000000;
   size_t maxHeaderBytes = 65536;
};

using ClientExchangeCb = std::function<void(ClientExchangeResult)>;

class HttpClientExchange : public std::enable_shared_from_this<HttpClientExchange> {
public:
   // host goes into the Host header; body is sent as is.
   static void Run(std::shared_ptr<Asio::ByteStream> stream, std::string host, std::string body,
                   const ClientLimits &limits, Log::LoggerPtr logger, ClientExchangeCb done);

   static constexpr size_t kReadStep = 4096;
   ~HttpClientExchange();

private:
   HttpClientExchange(std::shared_ptr<Asio::ByteStream> stream, std::string host, std::string body,
                      const ClientLimits &limits, Log::LoggerPtr logger, ClientExchangeCb done);
   void Send();
   void ReadMore(void (HttpClientExchange::*then)());
   void ParseHeader();
   void ReadWholeBody();
   void ReadChunks();
   void Fail(ClientPhase phase, const boost::system::error_code &ec, std::string text = "");
   void Succeed();

   std::shared_ptr<Asio::ByteStream> mStream;
   std::string mHost;
   std::string mBody;
   ClientLimits mLimits;
   Log::LoggerPtr mLogger;
   ClientExchangeCb mDone;
   GatheredMessage mRequest;

   std::vector<char> mBuf;
   size_t mFilled = 0;
   size_t mHeaderLen = 0;
   size_t mBodyPos = 0;
   bool mEof = false;
   PhrResponse mResponse;
   HttpMessageInfo mInfo;
   ClientExchangeResult mResult;
};

} // namespace Ruvo::Transport::PicoHttp
