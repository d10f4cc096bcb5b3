// A socket (TCP, Unix domain, or TLS over either) with a read and a write time
// limit. Each direction has one steady-clock timer; when it fires past its deadline
// while an operation of that direction is pending, the socket's operations are
// cancelled and complete with the cancellation error.
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
      Arm(mWriteTimer, mWriteLimit, mWriteSeq, false);
      boost::asio::async_write(
         mStream, *held,
         [self = this->shared_from_this(), held, cb = std::move(cb)](const boost::system::error_code &ec,
                                                                      size_t n) {
            if (--self->mWritesPending == 0) {
               self->mWriteTimer.cancel();
            }
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
      Arm(mReadTimer, limit, mReadSeq, true);
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
      ++mReadSeq;
      mReadTimer.cancel();
   }

   void Close() override
   {
      boost::system::error_code ignored;
      mReadTimer.cancel();
      mWriteTimer.cancel();
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
         Arm(mReadTimer, mReadLimit, mReadSeq, true);
      }
   }

   void FinishRead()
   {
      if (--mReadsPending == 0 && !mReadWindow) {
         ++mReadSeq;
         mReadTimer.cancel();
      }
   }

   void Arm(boost::asio::steady_timer &timer, Clock::duration limit, uint64_t &seq, bool isRead)
   {
      Clock::time_point deadline = Clock::now() + limit;
      if (isRead) {
         mReadDeadline = deadline;
      }
      Wait(timer, ++seq, deadline, isRead);
   }

   void Wait(boost::asio::steady_timer &timer, uint64_t armed, Clock::time_point deadline, bool isRead)
   {
      timer.expires_at(deadline);
      std::weak_ptr<TimeoutBaseStream> weak = this->shared_from_this();
      timer.async_wait([weak, armed, deadline, isRead](const boost::system::error_code &ec) {
         auto self = weak.lock();
         if (!self || ec) {
            return;
         }
         self->Expired(armed, deadline, isRead);
      });
   }

   void Expired(uint64_t armed, Clock::time_point deadline, bool isRead)
   {
      if (Clock::now() < deadline) {
         return;
      }
      uint64_t current = isRead ? mReadSeq : mWriteSeq;
      int pending = isRead ? mReadsPending : mWritesPending;
      if (armed != current) {
         return;
      }
      if (isRead && Clock::now() < mReadDeadline) {
         // The window was extended after the timer was set.
         Wait(mReadTimer, armed, mReadDeadline, true);
         return;
      }
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
   Clock::duration mWriteLimit;
   uint64_t mReadSeq = 0;
   uint64_t mWriteSeq = 0;
   int mReadsPending = 0;
   int mWritesPending = 0;
   bool mReadWindow = false;
   bool mReadExpired = false;
};

} // namespace Ruvo::Asio
