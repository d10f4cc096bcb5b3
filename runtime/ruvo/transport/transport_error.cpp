#include "runtime/ruvo/transport/transport_error.h"

#include <string>

namespace Ruvo::Transport::PicoHttp::Error {
namespace {

class TransportCategory final : public boost::system::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Transport Http"; }
   std::string message(int ev) const override
   {
      switch (ev) {
      case invalid_frame_header: return "invalid_frame_header";
      case incomplete_frame: return "incomplete_frame";
      case unsupported_content: return "unsupported content";
      case protocol_reset: return "protocol reset";
      case parse_error: return "parse error";
      case http_headers_too_long: return "http headers too long";
      case http_protocol_error: return "http protocol error";
      case server_failed_to_listen: return "server failed to listen";
      case http_request_too_long: return "http request too long";
      case end_of_body: return "end of body";
      case invalid_request: return "invalid request";
      default: return "transport error";
      }
   }
};

} // namespace

const boost::system::error_category &transport_category()
{
   static const TransportCategory category;
   return category;
}

} // namespace Ruvo::Transport::PicoHttp::Error

namespace Ruvo::Asio {
namespace {

class AsioErrorCategory final : public boost::system::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Asio Error"; }
   std::string message(int ev) const override
   {
      return ev == buffer_max_len ? "Buffer max len error" : "asio error";
   }
};

} // namespace

const boost::system::error_category &AsioCategory()
{
   static const AsioErrorCategory category;
   return category;
}

} // namespace Ruvo::Asio
