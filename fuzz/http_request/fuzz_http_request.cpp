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
   auto stream = Ruvo::Asio::Testing::FakeByteStream::FromFuzzInput(data, size);
   if (!stream) {
      return 0;
   }
   Ruvo::Transport::PicoHttp::ServerSettings settings;
   settings.maxRequestBytes = 1 << 20;
   settings.maxHeaderBytes = 8192;
   // A small shared cap, so that refusing a request for lack of buffer is reached too.
   auto load = std::make_shared<Ruvo::Transport::PicoHttp::ServerLoad>(1, 64 * 1024);
   load->TryAddConnection();
   auto connection = Ruvo::Transport::PicoHttp::PicoHttpServerTransportHelper::Create(
      stream, std::make_shared<EchoHandler>(), settings, nullptr,
      std::make_shared<Ruvo::Transport::PicoHttp::ConnectionSlot>(load));
   connection->Start();
   connection.reset();
   stream->RunUntilIdle();
   return 0;
}
