// What one server holds at once, against real sockets: connections, idle time,
// descriptors, and I/O threads kept free of large bodies.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/ruvo/transport/descriptor_limit.h"
#include "tests/support/sanitizers.h"
#include "tests/transport/transport_fixture.h"

namespace {

using namespace TransportTesting;
using namespace std::chrono_literals;
using Ruvo::Transport::PicoHttp::HttpReplyCb;
using Ruvo::Transport::PicoHttp::HttpServerReply;
using Ruvo::Transport::PicoHttp::HttpServerRequest;
using Ruvo::Transport::PicoHttp::ServerSettings;

// Keeps every body larger than 1 KiB until released, blocking the thread that
// handles it (or, with `block` off, only holding its reply); echoes the others at
// once.
class GatedHandler : public Ruvo::Transport::PicoHttp::HttpRequestHandler {
public:
   explicit GatedHandler(bool blockThread = true) : block(blockThread) {}
   ~GatedHandler() override { Release(); }

   bool Handle(const HttpServerRequest &request, HttpReplyCb reply) override
   {
      HttpServerReply r;
      r.body = std::string(request.body);
      if (request.body.size() > 1024) {
         std::unique_lock<std::mutex> guard(lock);
         ++waiting;
         changed.notify_all();
         if (!block && !released) {
            held.emplace_back([reply, r] { reply(r); });
            return true;
         }
         changed.wait(guard, [&] { return released; });
      }
      reply(std::move(r));
      return true;
   }
   void Release()
   {
      std::vector<std::function<void()>> replies;
      {
         std::lock_guard<std::mutex> guard(lock);
         released = true;
         replies.swap(held);
         changed.notify_all();
      }
      for (auto &reply : replies) {
         reply();
      }
   }
   bool WaitForLarge(int count)
   {
      std::unique_lock<std::mutex> guard(lock);
      return changed.wait_for(guard, 3s, [&] { return waiting >= count; });
   }

   std::mutex lock;
   std::condition_variable changed;
   int waiting = 0;
   bool released = false;
   bool block;
   std::vector<std::function<void()>> held;
};

using ServerLimitsTest = ServerTest;

// Over the cap, a connection that has not yet sent its request makes room for a
// newer one; when every slot is busy with a request, newcomers are closed at once.
// Either way one line, however many.
TEST_F(ServerLimitsTest, OverTheCapWaitingConnectionsGiveWayBusyOnesAreKept)
{
   ServerSettings settings;
   settings.maxConnections = 3;
   auto handler = std::make_shared<GatedHandler>(false);
   Serve(handler, settings);
   std::vector<std::unique_ptr<RawClient>> idle;
   for (int i = 0; i < 6; ++i) {
      idle.push_back(std::make_unique<RawClient>(port));
      // Half of them have begun a request they never finish.
      if (i % 2 == 0) {
         ASSERT_TRUE(idle.back()->Send("POST /api HTTP/1.1\r\n"));
      }
      std::this_thread::sleep_for(20ms);
   }
   RawClient caller(port);
   EXPECT_TRUE(Served(caller, "{\"caller\":1}"));
   std::string none;
   EXPECT_TRUE(idle.front()->ReadUntilClosed(none, 2s));
   EXPECT_EQ(logger->Count("Connection limit reached: 3 connections held"), 1u) << logger->All();
   EXPECT_EQ(logger->Count("Invalid Http request"), 0u) << logger->All();
   EXPECT_LE(server->Load().Connections(), 3u);

   std::string large = "\"" + std::string(4096, 'L') + "\"";
   std::vector<std::unique_ptr<RawClient>> busy;
   for (int i = 0; i < 3; ++i) {
      busy.push_back(std::make_unique<RawClient>(port));
      ASSERT_TRUE(busy.back()->Send(Post(large)));
      ASSERT_TRUE(handler->WaitForLarge(i + 1));
   }
   auto start = std::chrono::steady_clock::now();
   for (int i = 0; i < 5; ++i) {
      RawClient extra(port);
      ASSERT_TRUE(extra.Connected());
      std::string got;
      EXPECT_TRUE(extra.ReadUntilClosed(got, 3s));
      EXPECT_EQ(got, "");
   }
   EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
   EXPECT_EQ(logger->Count("Connection refused: 3 connections held"), 1u) << logger->All();
   handler->Release();
   for (auto &client : busy) {
      EXPECT_EQ(client->Read(BodyReply(large, true).size(), 3s), BodyReply(large, true));
   }
}

TEST_F(ServerLimitsTest, SilentConnectionsGoAfterTheIdleLimitSlowRequestsKeepTheReadLimit)
{
   ServerSettings settings;
   settings.idleLimit = 300ms;
   settings.readLimit = 5s;
   Serve(settings);
   auto start = std::chrono::steady_clock::now();
   RawClient silent(port);
   RawClient kept(port);
   ASSERT_TRUE(Served(kept, "{\"first\":1}"));
   RawClient slow(port);
   std::string request = Post("{\"slow\":1}");
   ASSERT_TRUE(slow.Send(request.substr(0, 5)));
   std::this_thread::sleep_for(800ms);
   ASSERT_TRUE(slow.Send(request.substr(5)));
   EXPECT_EQ(slow.Read(BodyReply("{\"slow\":1}", true).size(), 3s), BodyReply("{\"slow\":1}", true));
   std::string none;
   EXPECT_TRUE(silent.ReadUntilClosed(none, 3s));
   EXPECT_TRUE(kept.ReadUntilClosed(none, 3s));
   // Once answered, the slow one is idle like the others: its wait for the next
   // request ends at the idle limit, well before the read limit its request had.
   EXPECT_TRUE(slow.ReadUntilClosed(none, 3s));
   EXPECT_EQ(none, "");
   EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
   EXPECT_EQ(logger->Count("Invalid Http request"), 0u) << logger->All();
}

TEST(ServerLargeBodies, SmallCallsAreAnsweredWhileLargeBodiesAreHandled)
{
   IoThreads io(1);
   auto logger = std::make_shared<Ruvo::Log::Testing::RecordingLogger>();
   auto handler = std::make_shared<GatedHandler>();
   ServerSettings settings;
   settings.offloadBodyBytes = 1024;
   auto server = Listen(io.Io(), handler, settings, logger);
   int port = PortOf(*server);
   std::string large = "\"" + std::string(4096, 'L') + "\"";
   RawClient first(port);
   RawClient second(port);
   ASSERT_TRUE(first.Send(Post(large)));
   ASSERT_TRUE(second.Send(Post(large)));
   bool large1 = handler->WaitForLarge(1);
   EXPECT_TRUE(large1);
   RawClient small(port);
   EXPECT_TRUE(Served(small, "{\"small\":1}"));
   handler->Release();
   EXPECT_EQ(first.Read(BodyReply(large, true).size(), 3s), BodyReply(large, true));
   EXPECT_EQ(second.Read(BodyReply(large, true).size(), 3s), BodyReply(large, true));
   server->Close();
   io.Stop();
}

TEST(AcceptFailures, RunningOutOfResourcesBacksOffOthersRetryOrStop)
{
   using Ruvo::Transport::PicoHttp::AcceptRetryDelayMs;
   boost::system::error_code emfile(EMFILE, boost::system::system_category());
   std::vector<int> delays;
   int delay = 0;
   for (int i = 0; i < 7; ++i) {
      delay = AcceptRetryDelayMs(emfile, delay);
      delays.push_back(delay);
   }
   EXPECT_EQ(delays, (std::vector<int>{100, 200, 400, 800, 1600, 3200, 3200}));
   EXPECT_EQ(AcceptRetryDelayMs(boost::system::error_code(ECONNABORTED, boost::system::system_category()), 800), 0);
   EXPECT_LT(AcceptRetryDelayMs(boost::asio::error::operation_aborted, 0), 0);
}

// Out of descriptors the acceptor neither spins nor fills the log; once
// descriptors are free again it serves. In a child process, whose descriptor
// limit it lowers.
TEST(AcceptFailures, OutOfDescriptorsIsLoggedOnceInAWhileAndRecovers)
{
   if (TestSupport::kSanitized) {
      GTEST_SKIP() << "the undefined-behaviour checker needs a descriptor of its own to check an "
                      "object's type and reports a bad object when the test has taken them all";
   }
   int fds[2];
   ASSERT_EQ(pipe(fds), 0);
   pid_t pid = fork();
   ASSERT_GE(pid, 0);
   if (pid == 0) {
      close(fds[0]);
      int code = 0;
      {
         IoThreads childIo(1);
         auto childLog = std::make_shared<Ruvo::Log::Testing::RecordingLogger>();
         auto childServer = Listen(childIo.Io(), std::make_shared<EchoHandler>(), {}, childLog);
         int childPort = PortOf(*childServer);
         // Take every descriptor left under a low limit, bar the few the clients
         // below need.
         rlimit low{};
         getrlimit(RLIMIT_NOFILE, &low);
         low.rlim_cur = 256;
         setrlimit(RLIMIT_NOFILE, &low);
         std::vector<int> hog;
         for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0; fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
            hog.push_back(fd);
         }
         for (int i = 0; i < 4 && !hog.empty(); ++i) {
            close(hog.back());
            hog.pop_back();
         }
         std::vector<std::unique_ptr<RawClient>> waiting;
         for (int i = 0; i < 4; ++i) {
            waiting.push_back(std::make_unique<RawClient>(childPort));
         }
         std::this_thread::sleep_for(1500ms);
         size_t lines = childLog->Count("Accept Error: system:24");
         for (int fd : hog) {
            close(fd);
         }
         RawClient after(childPort);
         bool served = false;
         for (int i = 0; i < 100 && !served; ++i) {
            served = after.Connected() && Served(after, "{\"after\":1}");
         }
         code = (lines == 1 ? 0 : 10 + static_cast<int>(std::min<size_t>(lines, 100))) + (served ? 0 : 1);
         childServer->Close();
         childIo.Stop();
      }
      _exit(code);
   }
   close(fds[1]);
   int status = 0;
   ASSERT_EQ(waitpid(pid, &status, 0), pid);
   ASSERT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), 0) << "10 + lines logged, +1 when not served afterwards";
   close(fds[0]);
}

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardLimit)
{
   rlimit before{};
   ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
   if (before.rlim_max < 512) {
      GTEST_SKIP() << "hard limit too low to lower the soft one";
   }
   rlimit lowered = before;
   lowered.rlim_cur = 256;
   ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
   uint64_t now = Ruvo::Asio::RaiseDescriptorLimit();
   rlimit after{};
   ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
   EXPECT_EQ(after.rlim_cur, before.rlim_max);
   EXPECT_EQ(now, static_cast<uint64_t>(before.rlim_max));
}

} // namespace
