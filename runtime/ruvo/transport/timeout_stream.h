// A socket (TCP, Unix domain, or TLS over either) with a read and a write time
// limit. Each direction has one steady-clock timer; when it fires past its deadline
// while an operation of that direction is pending, the socket's operations are
// cancelled and complete with the cancellation error. Arming only moves the
// deadline: the timer is left waiting and is moved on when it fires early, so a
// busy connection does no timer work per request.
#pragma once

#include <chrono>
#include <memory>
#include <type_traits>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "runtime/ruvo/transport/byte_stream.h"

namespace Ruvo::Asio {

template <typename T>
struct IsSslStream : std::false_type {};
template <typename T>
struct IsSslStream<boost::asio::ssl::stream<T>> : std::true_type {};

template <typename Stream>
class TimeoutBaseStream final : public ByteStream,
                                public std::enable_shared_from_this<TimeoutBaseStream<Stream>> {
public:
   using Clock = std::chrono::steady_clock;

   static std::shared_ptr<TimeoutBaseStream> Create(Stream stream, Clock::duration readLimit,
                                                    Clock::duration writeLimit)
   {
      return std::shared_ptr<TimeoutBaseStream>(
         new TimeoutBaseStream(std::move(stream), readLimit, writeLimit));
   }

   ~TimeoutBaseStream() override
   {
      boost::system::error_code ignored;
      mStream.lowest_layer().close(ignored);
   }

   Stream &Next() { return mStream; }

   void AsyncReadSome(boost::asio::mutable_buffer buffer, IoCallback cb) override
   {
      if (mReadExpired) {
         boost::asio::post(mStream.get_executor(), [cb = std::move(cb)] {
            cb(boost::asio::error::operation_aborted, 0);
         });
         return;
      }
      StartRead();
      mStream.async_read_some(buffer, [self = this->shared_from_this(), cb = std::move(cb)](
                                         const boost::system::error_code &ec, size_t n) {
         self->FinishRead();
         cb(ec, n);
      });
   }

   void AsyncWrite(std::vector<boost::asio::const_buffer> buffers, IoCallback cb) override
   {
      auto held = std::make_shared<std::vector<boost::asio::const_buffer>>(std::move(buffers));
      ++mWritesPending;
      Arm(mWriteLimit, false);
      boost::asio::async_write(
         mStream, *held,
         [self = this->shared_from_this(), held, cb = std::move(cb)](const boost::system::error_code &ec,
                                                                      size_t n) {
            --self->mWritesPending;
            cb(ec, n);
         });
   }

   void AsyncStart(StreamRole role, DoneCallback cb) override
   {
      if constexpr (IsSslStream<Stream>::value) {
         StartRead();
         mStream.async_handshake(role == StreamRole::Client ? boost::asio::ssl::stream_base::client
                                                             : boost::asio::ssl::stream_base::server,
                                 [self = this->shared_from_this(), cb = std::move(cb)](
                                    const boost::system::error_code &ec) {
                                    self->FinishRead();
                                    cb(ec);
                                 });
      } else {
         (void)role;
         boost::asio::post(mStream.get_executor(), [cb = std::move(cb)] { cb({}); });
      }
   }

   void Post(std::function<void()> fn) override
   {
      boost::asio::post(mStream.get_executor(), std::move(fn));
   }

   void BeginReadWindow(Clock::duration limit) override
   {
      mReadWindow = true;
      mReadExpired = false;
      Arm(limit, true);
   }

   void ExtendReadWindow(Clock::duration limit) override
   {
      // The timer keeps its earlier expiry and is moved on when it fires: no timer
      // work on the path of every request.
      if (mReadWindow) {
         mReadDeadline = Clock::now() + limit;
      }
   }

   void EndReadWindow() override
   {
      mReadWindow = false;
      mReadExpired = false;
   }

   void Close() override
   {
      boost::system::error_code ignored;
      mReadTimer.cancel();
      mWriteTimer.cancel();
      mReadTimerWaiting = false;
      mWriteTimerWaiting = false;
      auto &socket = mStream.lowest_layer();
      socket.shutdown(boost::asio::socket_base::shutdown_both, ignored);
      socket.close(ignored);
   }

private:
   TimeoutBaseStream(Stream stream, Clock::duration readLimit, Clock::duration writeLimit)
      : mStream(std::move(stream)),
        mReadTimer(mStream.get_executor()),
        mWriteTimer(mStream.get_executor()),
        mReadLimit(readLimit),
        mWriteLimit(writeLimit)
   {
   }

   void StartRead()
   {
      ++mReadsPending;
      if (!mReadWindow) {
         Arm(mReadLimit, true);
      }
   }

   void FinishRead() { --mReadsPending; }

   // Reads are timed while a window is open or a read is pending; writes while one
   // is pending.
   bool Timed(bool isRead) const { return isRead ? (mReadWindow || mReadsPending > 0) : mWritesPending > 0; }

   void Arm(Clock::duration limit, bool isRead)
   {
      Clock::time_point deadline = Clock::now() + limit;
      (isRead ? mReadDeadline : mWriteDeadline) = deadline;
      bool &waiting = isRead ? mReadTimerWaiting : mWriteTimerWaiting;
      Clock::time_point &at = isRead ? mReadTimerAt : mWriteTimerAt;
      // A waiting timer due no later than the new deadline is left alone.
      if (waiting && at <= deadline) {
         return;
      }
      Wait(isRead, deadline);
   }

   void Wait(bool isRead, Clock::time_point at)
   {
      boost::asio::steady_timer &timer = isRead ? mReadTimer : mWriteTimer;
      (isRead ? mReadTimerWaiting : mWriteTimerWaiting) = true;
      (isRead ? mReadTimerAt : mWriteTimerAt) = at;
      uint64_t armed = ++(isRead ? mReadSeq : mWriteSeq);
      timer.expires_at(at);
      std::weak_ptr<TimeoutBaseStream> weak = this->shared_from_this();
      timer.async_wait([weak, armed, isRead](const boost::system::error_code &ec) {
         auto self = weak.lock();
         // A wait replaced by an earlier one, or cancelled on close.
         if (!self || ec || armed != (isRead ? self->mReadSeq : self->mWriteSeq)) {
            return;
         }
         self->Expired(isRead);
      });
   }

   void Expired(bool isRead)
   {
      (isRead ? mReadTimerWaiting : mWriteTimerWaiting) = false;
      if (!Timed(isRead)) {
         return;
      }
      Clock::time_point deadline = isRead ? mReadDeadline : mWriteDeadline;
      if (Clock::now() < deadline) {
         // Armed again (or the window extended) after the timer was set.
         Wait(isRead, deadline);
         return;
      }
      int pending = isRead ? mReadsPending : mWritesPending;
      if (isRead && mReadWindow && pending == 0) {
         mReadExpired = true;
         return;
      }
      if (pending > 0) {
         boost::system::error_code ignored;
         mStream.lowest_layer().cancel(ignored);
      }
   }

   // All members are used on the stream's executor only.
   Stream mStream;
   boost::asio::steady_timer mReadTimer;
   boost::asio::steady_timer mWriteTimer;
   Clock::duration mReadLimit;
   Clock::time_point mReadDeadline;
   Clock::time_point mReadTimerAt;
   Clock::duration mWriteLimit;
   Clock::time_point mWriteDeadline;
   Clock::time_point mWriteTimerAt;
   uint64_t mReadSeq = 0;
   uint64_t mWriteSeq = 0;
   int mReadsPending = 0;
   int mWritesPending = 0;
   bool mReadWindow = false;
   bool mReadExpired = false;
   bool mReadTimerWaiting = false;
   bool mWriteTimerWaiting = false;
};

} // namespace Ruvo::Asio
