// Error codes of the HTTP transport and of the stream layer beneath it.
#pragma once

#include <boost/system/error_code.hpp>

namespace Ruvo::Transport::PicoHttp::Error {

enum TransportError {
   invalid_frame_header = 1,
   incomplete_frame = 2,
   unsupported_content = 3,
   protocol_reset = 4,
   parse_error = 5,
   http_headers_too_long = 6,
   http_protocol_error = 7,
   server_failed_to_listen = 8,
   http_request_too_long = 9,
   end_of_body = 10,
   invalid_request = 11,
};

const boost::system::error_category &transport_category();

inline boost::system::error_code make_error_code(TransportError e)
{
   return {static_cast<int>(e), transport_category()};
}

} // namespace Ruvo::Transport::PicoHttp::Error

namespace Ruvo::Asio {

enum AsioError {
   buffer_max_len = 1,
};

const boost::system::error_category &AsioCategory();

inline boost::system::error_code make_error_code(AsioError e)
{
   return {static_cast<int>(e), AsioCategory()};
}

} // namespace Ruvo::Asio

namespace boost::system {
template <>
struct is_error_code_enum<Ruvo::Transport::PicoHttp::Error::TransportError> : std::true_type {};
template <>
struct is_error_code_enum<Ruvo::Asio::AsioError> : std::true_type {};
} // namespace boost::system
