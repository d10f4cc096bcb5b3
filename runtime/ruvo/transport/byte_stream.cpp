#include "runtime/ruvo/transport/byte_stream.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>

namespace Ruvo::Asio {

bool IsEndOfStream(const boost::system::error_code &ec)
{
   return ec == boost::asio::error::eof || ec == boost::asio::ssl::error::stream_truncated ||
          ec == boost::asio::error::connection_reset;
}

} // namespace Ruvo::Asio
