#include "apps/zarna/io_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

namespace {

// A handler that throws must not cost the endpoints a worker: the same worker
// goes on with the work queued after it, and still returns on stop.
TEST(IoWorker, SurvivesThrowingHandlersAndStopsOnRequest)
{
   boost::asio::io_context io;
   auto guard = boost::asio::make_work_guard(io);
   std::atomic<int> ran{0};
   boost::asio::post(io, [] { throw std::runtime_error("handler failed"); });
   boost::asio::post(io, [] { throw 42; });
   boost::asio::post(io, [&] { ++ran; });
   std::thread worker([&] { Zarna::RunIoWorker(io); });
   for (int i = 0; i < 500 && ran.load() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
   EXPECT_EQ(ran.load(), 1);
   io.stop();
   worker.join(); // hangs (and the test times out) if the worker keeps running
}

} // namespace
