// Client side: response header parsing, framing checks and body reading (whole,
// chunked, streamed), fed through a scripted stream in pieces of varying size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/ruvo/transport/http_client_exchange.h"
#include "runtime/ruvo/transport/testing/fake_byte_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   auto stream = Ruvo::Asio::Testing::FakeByteStream::FromFuzzInput(data, size);
   if (!stream) {
      return 0;
   }
   Ruvo::Transport::PicoHttp::ClientLimits limits;
   limits.maxResponseBytes = 1 << 20;
   limits.maxHeaderBytes = 8192;
   bool done = false;
   Ruvo::Transport::PicoHttp::HttpClientExchange::Run(stream, "fuzz", "{}", limits, nullptr,
                                                      [&](Ruvo::Transport::PicoHttp::ClientExchangeResult r) {
                                                         // Exactly one outcome: an error or a message.
                                                         if (done || (!r.error && r.messages.empty())) {
                                                            abort();
                                                         }
                                                         done = true;
                                                      });
   stream->RunUntilIdle();
   if (!done) {
      abort();
   }
   return 0;
}
