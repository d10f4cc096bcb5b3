// The byte stream seen by the HTTP code: a connected socket (plain or TLS) with its
// time limits, or a test double.
//
// Every call is made, and every callback runs, on the stream's own serial executor,
// so one connection's handlers never run concurrently.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>

namespace Ruvo::Asio {

using IoCallback = std::function<void(const boost::system::error_code &, size_t)>;
using DoneCallback = std::function<void(const boost::system::error_code &)>;

enum class StreamRole { Client, Server };

class ByteStream {
public:
   virtual ~ByteStream() = default;

   virtual void AsyncReadSome(boost::asio::mutable_buffer buffer, IoCallback cb) = 0;
   // Writes every byte of the buffers (one gathered write).
   virtual void AsyncWrite(std::vector<boost::asio::const_buffer> buffers, IoCallback cb) = 0;
   // TLS handshake in the given role; completes at once (posted) on plain streams.
   virtual void AsyncStart(StreamRole role, DoneCallback cb) = 0;
   // Runs fn on the stream's executor (used to come back from other threads).
   virtual void Post(std::function<void()> fn) = 0;
   // While a read window is open, one deadline (`limit` from the opening) covers
   // every read instead of each read arming its own with the read limit.
   virtual void BeginReadWindow(std::chrono::steady_clock::duration limit) = 0;
   // Moves the open window's deadline to `limit` from now (later than before).
   virtual void ExtendReadWindow(std::chrono::steady_clock::duration limit) = 0;
   virtual void EndReadWindow() = 0;
   // Shuts the connection down; pending operations complete with an error.
   virtual void Close() = 0;
};

// End of stream from the peer, including a TLS peer that closed without a
// close_notify (nothing here relies on the end of stream to delimit data).
bool IsEndOfStream(const boost::system::error_code &ec);

} // namespace Ruvo::Asio
