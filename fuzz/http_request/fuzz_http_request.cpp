// Server side: request header parsing, body framing (whole and chunked), keep-alive
// and reply writing, fed through a scripted stream in pieces of varying size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/ruvo/transport/pico_http_server_transport_helper.h"
#include "runtime/ruvo/transport/testing/fake_byte_stream.h"

namespace {

class EchoHandler : public Ruvo::Transport::PicoHttp::HttpRequestHandler {
public:
   bool Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
               Ruvo::Transport::PicoHttp::HttpReplyCb reply) override
   {
      Ruvo::Transport::PicoHttp::HttpServerReply r;
      // Exercise every reply form: the body's first byte picks one.
      if (!request.body.empty() && request.body[0] == 's') {
         r.httpStatus = true;
         r.status = 404;
         r.statusMessage = std::string(request.body.substr(0, 8));
      }
      r.body = std::string(request.body);
      for (const auto &h : request.request.headers) {
         r.extraHeaders.emplace_back(std::string(h.Name()), std::string(h.Value()));
      }
      reply(std::move(r));
      return request.body.size() % 7 != 3;
   }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0) {
      return 0;
   }
   size_t piece = 1 + data[0] % 64;
   std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
   auto stream = std::make_shared<Ruvo::Asio::Testing::FakeByteStream>();
   for (size_t pos = 0; pos < input.size(); pos += piece) {
      stream->AddInput(input.substr(pos, piece));
   }
   stream->EndInputWith(boost::asio::error::eof);
   Ruvo::Transport::PicoHttp::ServerSettings settings;
   settings.maxRequestBytes = 1 << 20;
   settings.maxHeaderBytes = 8192;
   auto connection = Ruvo::Transport::PicoHttp::PicoHttpServerTransportHelper::Create(
      stream, std::make_shared<EchoHandler>(), settings, nullptr);
   connection->Start();
   connection.reset();
   stream->RunUntilIdle();
   return 0;
}
