#include "apps/zarna/service_notify.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Tirel::System::ManualClock;
using Tirel::System::ThreadPool;
using namespace std::chrono_literals;

struct Recorded {
   std::mutex lock;
   std::vector<std::string> messages;
   size_t Count(const std::string &message)
   {
      std::lock_guard<std::mutex> guard(lock);
      return std::count(messages.begin(), messages.end(), message);
   }
};

std::shared_ptr<Zarna::ServiceNotifier> RecordingNotifier(Recorded &recorded, uint64_t watchdogUs)
{
   return std::make_shared<Zarna::ServiceNotifier>(
       [&recorded](const std::string &message) {
          std::lock_guard<std::mutex> guard(recorded.lock);
          recorded.messages.push_back(message);
       },
       watchdogUs);
}

// Keep-alives come every half period from the pool, stop when asked, and do
// not come while every pool thread is stuck: that silence is what lets the
// service manager restart a wedged agent.
TEST(ServiceNotifier, KeepAlivesFollowThePoolAndStopWhenAsked)
{
   auto clock = std::make_shared<ManualClock>();
   auto pool = std::make_shared<ThreadPool>(1, clock);
   Recorded recorded;
   auto notifier = RecordingNotifier(recorded, 2000000);
   ASSERT_EQ(notifier->KeepAliveIntervalUs(), 1000000u);
   notifier->StartKeepAlive(pool);

   clock->Advance(999999);
   ASSERT_TRUE(pool->WaitForIdle(5s));
   EXPECT_EQ(recorded.Count("WATCHDOG=1"), 0u);
   clock->Advance(1);
   ASSERT_TRUE(pool->WaitForIdle(5s));
   EXPECT_EQ(recorded.Count("WATCHDOG=1"), 1u);

   // The only thread is taken: time passes, nothing is sent.
   std::promise<void> release;
   std::shared_future<void> released = release.get_future().share();
   std::atomic<bool> blocking{false};
   pool->Enqueue([&] {
      blocking = true;
      released.wait();
   });
   while (!blocking) {
      std::this_thread::sleep_for(1ms);
   }
   clock->Advance(5000000);
   std::this_thread::sleep_for(100ms);
   EXPECT_EQ(recorded.Count("WATCHDOG=1"), 1u);
   release.set_value();
   ASSERT_TRUE(pool->WaitForIdle(5s));
   EXPECT_EQ(recorded.Count("WATCHDOG=1"), 2u); // one late keep-alive, not a burst

   notifier->StopKeepAlive();
   clock->Advance(10000000);
   ASSERT_TRUE(pool->WaitForIdle(5s));
   EXPECT_EQ(recorded.Count("WATCHDOG=1"), 2u);

   // Without a watchdog period nothing is scheduled at all.
   Recorded none;
   auto quiet = RecordingNotifier(none, 0);
   quiet->StartKeepAlive(pool);
   clock->Advance(100000000);
   ASSERT_TRUE(pool->WaitForIdle(5s));
   EXPECT_TRUE(none.messages.empty());
}

// A notifier dropped while its keep-alive is scheduled leaves nothing behind
// that could run against freed memory.
TEST(ServiceNotifier, DroppedNotifierSendsNoMore)
{
   auto clock = std::make_shared<ManualClock>();
   auto pool = std::make_shared<ThreadPool>(2, clock);
   Recorded recorded;
   auto notifier = RecordingNotifier(recorded, 2000000);
   notifier->StartKeepAlive(pool);
   notifier.reset();
   clock->Advance(3000000);
   ASSERT_TRUE(pool->WaitForIdle(5s));
   EXPECT_TRUE(recorded.messages.empty());
}

// The real sender, through a datagram socket where NOTIFY_SOCKET points.
class NotifySocket : public ::testing::Test {
protected:
   void SetUp() override
   {
      mPath = ::testing::TempDir() + "zarna-notify-" + std::to_string(getpid()) + ".sock";
      unlink(mPath.c_str());
      mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      ASSERT_GE(mFd, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      ASSERT_LT(mPath.size(), sizeof(addr.sun_path));
      memcpy(addr.sun_path, mPath.c_str(), mPath.size() + 1);
      ASSERT_EQ(bind(mFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
      timeval timeout{2, 0};
      setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
   }
   void TearDown() override
   {
      close(mFd);
      unlink(mPath.c_str());
      unsetenv("NOTIFY_SOCKET");
      unsetenv("WATCHDOG_USEC");
      unsetenv("WATCHDOG_PID");
   }
   std::string Receive()
   {
      char buffer[512];
      ssize_t n = recv(mFd, buffer, sizeof(buffer), 0);
      return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
   }

   std::string mPath;
   int mFd = -1;
};

TEST_F(NotifySocket, SendsToTheManagerAndTakesOnlyItsOwnWatchdog)
{
   unsetenv("NOTIFY_SOCKET");
   EXPECT_FALSE(Zarna::ServiceNotifier::FromEnvironment()->Enabled());

   setenv("NOTIFY_SOCKET", mPath.c_str(), 1);
   setenv("WATCHDOG_USEC", "4000000", 1);
   setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
   auto notifier = Zarna::ServiceNotifier::FromEnvironment();
   ASSERT_TRUE(notifier->Enabled());
   EXPECT_EQ(notifier->KeepAliveIntervalUs(), 2000000u);
   notifier->Ready("Serving");
   EXPECT_EQ(Receive(), "READY=1\nSTATUS=Serving");
   notifier->Stopping();
   EXPECT_EQ(Receive(), "STOPPING=1\nSTATUS=Stopping");

   // A watchdog set up for another process (a parent's) is not ours to feed.
   setenv("WATCHDOG_PID", std::to_string(getppid()).c_str(), 1);
   EXPECT_EQ(Zarna::ServiceNotifier::FromEnvironment()->KeepAliveIntervalUs(), 0u);
}

} // namespace
