// A scripted ByteStream for tests and fuzzing: reads return the scripted input
// pieces in order (then end of stream), writes are recorded, and posted work runs
// when the test drives the loop. Single-threaded.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>

#include "runtime/ruvo/transport/byte_stream.h"

namespace Ruvo::Asio::Testing {

class FakeByteStream : public ByteStream {
public:
   // Input pieces; each read returns at most the rest of the current piece.
   void AddInput(std::string piece) { mInput.push_back(std::move(piece)); }
   // Without this, a read past the input waits forever (a slow peer).
   void EndInputWith(boost::system::error_code ec) { mEndError = ec; }

   // A stream for a fuzz input: the first byte chooses the size of the pieces the
   // rest arrives in (1 to 64 bytes), then the stream ends. Null for an empty input.
   static std::shared_ptr<FakeByteStream> FromFuzzInput(const uint8_t *data, size_t size)
   {
      if (size == 0) {
         return nullptr;
      }
      size_t piece = 1 + data[0] % 64;
      std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
      auto stream = std::make_shared<FakeByteStream>();
      for (size_t pos = 0; pos < input.size(); pos += piece) {
         stream->AddInput(input.substr(pos, piece));
      }
      stream->EndInputWith(boost::asio::error::eof);
      return stream;
   }
   void FailWrites(boost::system::error_code ec) { mWriteError = ec; }

   void AsyncReadSome(boost::asio::mutable_buffer buffer, IoCallback cb) override
   {
      mPendingRead = [this, buffer, cb = std::move(cb)]() mutable {
         if (mClosed) {
            mQueue.emplace_back([cb] { cb(boost::asio::error::operation_aborted, 0); });
            return true;
         }
         if (mInput.empty()) {
            if (!mEndError) {
               return false;
            }
            mQueue.emplace_back([cb, ec = mEndError] { cb(ec, 0); });
            return true;
         }
         std::string &piece = mInput.front();
         size_t n = std::min(piece.size(), buffer.size());
         std::copy(piece.data(), piece.data() + n, static_cast<char *>(buffer.data()));
         piece.erase(0, n);
         if (piece.empty()) {
            mInput.pop_front();
         }
         ++mReads;
         mQueue.emplace_back([cb, n] { cb({}, n); });
         return true;
      };
   }

   void AsyncWrite(std::vector<boost::asio::const_buffer> buffers, IoCallback cb) override
   {
      size_t total = 0;
      std::string bytes;
      for (const auto &b : buffers) {
         bytes.append(static_cast<const char *>(b.data()), b.size());
         total += b.size();
      }
      boost::system::error_code ec = mWriteError;
      if (!ec) {
         mWritten += bytes;
         ++mWrites;
      }
      mQueue.emplace_back([cb = std::move(cb), ec, total] { cb(ec, ec ? 0 : total); });
   }

   void AsyncStart(StreamRole, DoneCallback cb) override
   {
      mQueue.emplace_back([cb = std::move(cb)] { cb({}); });
   }

   void Post(std::function<void()> fn) override { mQueue.push_back(std::move(fn)); }
   void BeginReadWindow(std::chrono::steady_clock::duration limit) override
   {
      ++mWindows;
      mWindowLimits.push_back(limit);
   }
   void ExtendReadWindow(std::chrono::steady_clock::duration limit) override { mWindowLimits.push_back(limit); }
   void EndReadWindow() override {}
   void Close() override { mClosed = true; }

   // Runs queued work and satisfiable reads until nothing more can happen.
   void RunUntilIdle(size_t maxSteps = 1000000)
   {
      for (size_t step = 0; step < maxSteps; ++step) {
         if (!mQueue.empty()) {
            auto fn = std::move(mQueue.front());
            mQueue.pop_front();
            fn();
            continue;
         }
         if (mPendingRead) {
            auto read = std::move(mPendingRead);
            mPendingRead = nullptr;
            if (read()) {
               continue;
            }
            mPendingRead = std::move(read);
         }
         return;
      }
   }

   // Drops a read that still waits and queued work, which may hold the stream's
   // user (and so the stream) alive.
   void DropPending()
   {
      mPendingRead = nullptr;
      mQueue.clear();
   }

   const std::string &Written() const { return mWritten; }
   bool Closed() const { return mClosed; }
   bool ReadPending() const { return static_cast<bool>(mPendingRead); }
   int Writes() const { return mWrites; }
   int Windows() const { return mWindows; }
   const std::vector<std::chrono::steady_clock::duration> &WindowLimits() const { return mWindowLimits; }

private:
   std::deque<std::string> mInput;
   boost::system::error_code mEndError;
   boost::system::error_code mWriteError;
   std::function<bool()> mPendingRead;
   std::deque<std::function<void()>> mQueue;
   std::string mWritten;
   bool mClosed = false;
   int mReads = 0;
   int mWrites = 0;
   int mWindows = 0;
   std::vector<std::chrono::steady_clock::duration> mWindowLimits;
};

} // namespace Ruvo::Asio::Testing
