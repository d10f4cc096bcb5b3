// The running agent against hostile local peers: bodies that are claimed but never
// sent, floods of idle connections, and request framing that could be read two
// ways. Memory stays bounded and a well-behaved caller keeps being answered.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "tests/support/sanitizers.h"
#include "tests/agent/agent_harness.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;

const char *kList =
   R"({"version":"1.1","id":"h1","method":"com.talvor.brim.trusted_infrastructure.attestation.services.list","params":{"context":{},"input":{}}})";
constexpr long kRssLimitKb = 64 * 1024;

using TestSupport::kSanitized;

long RssKb(pid_t pid)
{
   std::ifstream status("/proc/" + std::to_string(pid) + "/status");
   std::string line;
   while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) {
         return std::stol(line.substr(6));
      }
   }
   return -1;
}

// Samples the agent's resident memory until stopped; keeps the peak.
class RssWatch {
public:
   explicit RssWatch(pid_t pid)
      : mThread([this, pid] {
           while (!mStop) {
              mPeak = std::max(mPeak.load(), RssKb(pid));
              std::this_thread::sleep_for(20ms);
           }
        })
   {
   }
   ~RssWatch() { Stop(); }
   long Stop()
   {
      mStop = true;
      if (mThread.joinable()) {
         mThread.join();
      }
      return mPeak;
   }

private:
   std::atomic<bool> mStop{false};
   std::atomic<long> mPeak{0};
   std::thread mThread;
};

// Calls the API now and then until stopped; counts calls and those answered.
class WellBehavedCaller {
public:
   explicit WellBehavedCaller(int port)
      : mThread([this, port] {
           while (!mStop) {
              ++calls;
              if (ZarnaTesting::PostJson(port, kList).status == 200) {
                 ++answered;
              }
              std::this_thread::sleep_for(100ms);
           }
        })
   {
   }
   ~WellBehavedCaller() { Stop(); }
   void Stop()
   {
      mStop = true;
      if (mThread.joinable()) {
         mThread.join();
      }
   }
   std::atomic<int> calls{0};
   std::atomic<int> answered{0};

private:
   std::atomic<bool> mStop{false};
   std::thread mThread;
};

// A non-blocking connection to the agent; -1 when the descriptor cannot be had.
int ConnectNonBlocking(int port)
{
   int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
   if (fd < 0) {
      return -1;
   }
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_port = htons(static_cast<uint16_t>(port));
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
   return fd;
}

size_t RaiseOwnDescriptorLimit()
{
   rlimit limit{};
   getrlimit(RLIMIT_NOFILE, &limit);
   limit.rlim_cur = limit.rlim_max;
   setrlimit(RLIMIT_NOFILE, &limit);
   getrlimit(RLIMIT_NOFILE, &limit);
   return static_cast<size_t>(limit.rlim_cur);
}

class AgentHostile : public ::testing::Test {
protected:
   void SetUp() override
   {
      ASSERT_TRUE(h.StartEmulator());
      h.WriteConfig("", "info");
      ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   }
   void TearDown() override
   {
      for (int fd : held) {
         close(fd);
      }
   }
   AgentHarness h;
   std::vector<int> held;
};

TEST_F(AgentHostile, ClaimedBodiesCostOnlyWhatArrives)
{
   RssWatch rss(h.Agent().Pid());
   WellBehavedCaller caller(h.Port());
   std::string claim = "POST /api HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 19000000\r\n\r\n\"" +
                       std::string(256 * 1024, 'c');
   for (int i = 0; i < 200; ++i) {
      int fd = ConnectNonBlocking(h.Port());
      ASSERT_GE(fd, 0);
      held.push_back(fd);
   }
   // Each sends its header and a first slice of the body, then nothing more; the
   // slices together are more than the endpoint buffers for all its connections.
   auto until = std::chrono::steady_clock::now() + 3s;
   std::vector<size_t> sent(held.size(), 0);
   while (std::chrono::steady_clock::now() < until) {
      for (size_t i = 0; i < held.size(); ++i) {
         if (sent[i] < claim.size()) {
            ssize_t n = send(held[i], claim.data() + sent[i], claim.size() - sent[i], MSG_NOSIGNAL);
            sent[i] += n > 0 ? static_cast<size_t>(n) : 0;
         }
      }
      std::this_thread::sleep_for(20ms);
   }
   EXPECT_TRUE(ZarnaTesting::PostJson(h.Port(), kList).status == 200);
   caller.Stop();
   long peak = rss.Stop();
   RecordProperty("peakRssKb", static_cast<int>(peak));
   RecordProperty("calls", caller.calls.load());
   if (!kSanitized) {
      EXPECT_LT(peak, kRssLimitKb) << "peak RSS " << peak << " kB";
   }
   EXPECT_GT(caller.calls.load(), 5);
   EXPECT_EQ(caller.answered.load(), caller.calls.load());
}

TEST_F(AgentHostile, IdleConnectionFloodNeitherLocksCallersOutNorGrowsTheAgent)
{
   size_t limit = RaiseOwnDescriptorLimit();
   size_t flood = std::min<size_t>(20000, limit > 200 ? limit - 200 : 0);
   if (flood < 2000) {
      GTEST_SKIP() << "descriptor limit " << limit << " too low for a flood";
   }
   RssWatch rss(h.Agent().Pid());
   WellBehavedCaller caller(h.Port());
   auto start = std::chrono::steady_clock::now();
   for (size_t i = 0; i < flood && std::chrono::steady_clock::now() - start < 20s; ++i) {
      int fd = ConnectNonBlocking(h.Port());
      if (fd < 0) {
         break;
      }
      held.push_back(fd);
   }
   std::this_thread::sleep_for(3s);
   caller.Stop();
   long peak = rss.Stop();
   RecordProperty("connections", static_cast<int>(held.size()));
   RecordProperty("peakRssKb", static_cast<int>(peak));
   RecordProperty("calls", caller.calls.load());
   EXPECT_GE(held.size(), flood * 9 / 10);
   if (!kSanitized) {
      EXPECT_LT(peak, kRssLimitKb) << "peak RSS " << peak << " kB";
   }
   EXPECT_GT(caller.calls.load(), 5);
   EXPECT_EQ(caller.answered.load(), caller.calls.load());
   // The agent did not log each refused or closed connection.
   std::string log = h.Agent().StderrText();
   size_t lines = std::count(log.begin(), log.end(), '\n');
   EXPECT_LT(lines, 200u);
   EXPECT_EQ(log.find("Accept Error"), std::string::npos);
   for (int fd : held) {
      close(fd);
   }
   held.clear();
   EXPECT_EQ(ZarnaTesting::PostJson(h.Port(), kList).status, 200);
}

TEST_F(AgentHostile, ChunkedJsonIsAnsweredAndAmbiguousFramingRefused)
{
   std::string body = ZarnaTesting::WithToken(kList, h.Token());
   std::string half = body.substr(0, body.size() / 2);
   std::string rest = body.substr(body.size() / 2);
   auto hex = [](size_t n) {
      char text[20];
      snprintf(text, sizeof text, "%zx", n);
      return std::string(text);
   };
   std::string chunked = "POST /api HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                         "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
                         hex(half.size()) + "\r\n" + half + "\r\n" + hex(rest.size()) + "\r\n" + rest + "\r\n0\r\n\r\n";
   std::string reply = ZarnaTesting::SendRaw(h.Port(), chunked, 5s);
   EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
   EXPECT_NE(reply.find("\"result\":[]"), std::string::npos) << reply;
   EXPECT_EQ(reply.find("\"error\""), std::string::npos) << reply;

   // A length beside the chunks: refused as a whole, nothing of it runs.
   std::string both = "POST /api HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nTransfer-Encoding: chunked\r\n\r\n" + hex(body.size()) +
                      "\r\n" + body + "\r\n0\r\n\r\n";
   reply = ZarnaTesting::SendRaw(h.Port(), both, 5s);
   EXPECT_EQ(reply.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << reply;
   EXPECT_NE(reply.find("Connection: close"), std::string::npos);
   EXPECT_EQ(reply.find("\"result\""), std::string::npos);
}

} // namespace
