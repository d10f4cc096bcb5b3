#include "runtime/hyperkern/emulator_kernel.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>

#include "runtime/hyperkern/seqpacket.h"
#include "runtime/hyperkern/testing/emulator_process.h"

namespace {

using namespace Hyperkern;
using namespace Hyperkern::Proto;

// A hand-scripted emulator: accepts the call connection and runs `script`
// with it and the listening socket (for the notice connection).
class ScriptedPeer {
public:
   explicit ScriptedPeer(std::function<void(int call, int listenFd)> script)
   {
      mPath = mDir.File("k.sock");
      mListen = socket(AF_UNIX, SOCK_SEQPACKET, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      strncpy(addr.sun_path, mPath.c_str(), sizeof addr.sun_path - 1);
      EXPECT_EQ(bind(mListen, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
      EXPECT_EQ(listen(mListen, 4), 0);
      mThread = std::thread([this, script] {
         int fd = accept(mListen, nullptr, nullptr);
         if (fd >= 0) {
            script(fd, mListen);
            close(fd);
         }
      });
   }
   ~ScriptedPeer()
   {
      shutdown(mListen, SHUT_RDWR);
      mThread.join();
      close(mListen);
   }
   const std::string &Path() const { return mPath; }

private:
   HyperkernTesting::TempDir mDir;
   std::string mPath;
   int mListen = -1;
   std::thread mThread;
};

// Reads one request and returns its header.
Header Expect(int fd, uint32_t type, Bytes *frameOut = nullptr)
{
   Bytes frame;
   Header header;
   EXPECT_EQ(RecvFrame(fd, frame, 5000), RecvResult::kFrame);
   const uint8_t *body = nullptr;
   size_t size = 0;
   EXPECT_TRUE(ParseHeader(frame.data(), frame.size(), header, body, size));
   EXPECT_EQ(header.type, type);
   if (frameOut != nullptr) {
      *frameOut = frame;
   }
   return header;
}

// Answers the registration and the notice connection's attach; returns the
// notice connection.
int AcceptRegistration(int call, int listenFd)
{
   Header h = Expect(call, kRegister);
   SendFrame(call, Encode(h.seq, RegisterAnswer{0, 0, 99}));
   int notice = accept(listenFd, nullptr, nullptr);
   Bytes frame;
   Header a = Expect(notice, kAttach, &frame);
   AttachRequest attach;
   EXPECT_TRUE(Decode(frame.data() + kHeaderSize, frame.size() - kHeaderSize, attach));
   EXPECT_EQ(attach.token, 99u);
   SendFrame(notice, Encode(kAttach, a.seq, StatusAnswer{0}));
   return notice;
}

bool Readable(int fd)
{
   pollfd p{fd, POLLIN, 0};
   return poll(&p, 1, 0) == 1;
}

int32_t Register(KernelCalls &calls, HYK_ReturnStatus *status)
{
   int32_t fd = -1;
   uint32_t aux = 0;
   const char *name = "resolveKeyOp";
   int error = 0;
   *status = calls.Invoke(kRpcRegisterCall,
                          {reinterpret_cast<uintptr_t>(name), 0, 12, 8192,
                           reinterpret_cast<uintptr_t>(&fd), reinterpret_cast<uintptr_t>(&aux)},
                          &error);
   return fd;
}

HYK_ReturnStatus GetMsg(KernelCalls &calls, int32_t fd, RPC_MsgInfoUser &info, uint8_t *buffer,
                        uint32_t &length)
{
   int error = 0;
   return calls.Invoke(kRpcGetMsgCall,
                       {static_cast<uint64_t>(fd), reinterpret_cast<uintptr_t>(&info),
                        reinterpret_cast<uintptr_t>(buffer), reinterpret_cast<uintptr_t>(&length),
                        0, 1},
                       &error);
}

TEST(EmulatorKernelCalls, TakesTheNoticeSkipsStaleAnswersAndDeliversTheMessage)
{
   ScriptedPeer peer([](int fd, int listenFd) {
      // (What the registration carries is judged by the real emulator in its tests.)
      int notice = AcceptRegistration(fd, listenFd);
      SendFrame(notice, EncodeReady());
      Bytes frame;
      Header get = Expect(fd, kGetMsg, &frame);
      GetMsgRequest getRequest;
      EXPECT_TRUE(Decode(frame.data() + kHeaderSize, frame.size() - kHeaderSize, getRequest));
      EXPECT_EQ(getRequest.noticeTaken, 1);
      GetMsgAnswer answer;
      answer.info = {7, 0, 0x10007};
      answer.message = Bytes{'a', 'b', 0};
      SendFrame(fd, Encode(get.seq - 1, GetMsgAnswer{})); // stale
      SendFrame(fd, Encode(get.seq, answer));
      Bytes frame2;
      EXPECT_EQ(RecvFrame(fd, frame2, 5000), RecvResult::kClosed);
      close(notice);
   });
   EmulatorKernelCalls calls(peer.Path(), 2000);
   HYK_ReturnStatus status;
   int32_t fd = Register(calls, &status);
   ASSERT_EQ(status, kStatusSuccess);
   pollfd p{fd, POLLIN, 0};
   ASSERT_EQ(poll(&p, 1, 5000), 1); // the notice makes the channel readable

   RPC_MsgInfoUser info{-1, 0, 0};
   uint8_t buffer[8192] = {};
   uint32_t length = sizeof buffer;
   ASSERT_EQ(GetMsg(calls, fd, info, buffer, length), kStatusSuccess);
   EXPECT_EQ(info.id, 7);
   EXPECT_EQ(info.replyInfo, 0x10007u);
   EXPECT_EQ(length, 3u);
   EXPECT_STREQ(reinterpret_cast<char *>(buffer), "ab");
   EXPECT_FALSE(Readable(fd)); // the call took the notice
   EXPECT_EQ(calls.Close(fd), 0);
   EXPECT_EQ(GetMsg(calls, fd, info, buffer, length), kStatusInvalidArgument);
}

TEST(EmulatorKernelCalls, RefusedRegistrationClosesTheConnection)
{
   ScriptedPeer peer([](int fd, int) {
      Header h = Expect(fd, kRegister);
      SendFrame(fd, Encode(h.seq, RegisterAnswer{kStatusFailure, 0, 0}));
      Bytes frame;
      EXPECT_EQ(RecvFrame(fd, frame, 5000), RecvResult::kClosed);
   });
   EmulatorKernelCalls calls(peer.Path());
   HYK_ReturnStatus status;
   int32_t fd = Register(calls, &status);
   EXPECT_EQ(status, kStatusFailure);
   EXPECT_EQ(fd, -1);
}

// A garbled answer, or a message larger than the caller's buffer (the kernel must
// not write past it), breaks the channel for good; silence only times the call out.
TEST(EmulatorKernelCalls, BadOrMissingAnswers)
{
   GetMsgAnswer oversized;
   oversized.info.id = 1;
   oversized.message = Bytes(200, 'x');
   struct Case {
      const char *what;
      std::function<Bytes(uint32_t seq)> answer; // none: never answers
      int timeoutMs;
      HYK_ReturnStatus status;
   } cases[] = {
       {"garbled",
        [](uint32_t) {
           return Bytes{1, 2, 3};
        },
        5000, kStatusProtocolError},
       {"oversized", [&](uint32_t seq) { return Encode(seq, oversized); }, 5000,
        kStatusProtocolError},
       {"silent", nullptr, 100, kStatusTimedOut},
   };
   for (const auto &c : cases) {
      ScriptedPeer peer([&c](int fd, int listenFd) {
         int notice = AcceptRegistration(fd, listenFd);
         Header get = Expect(fd, kGetMsg);
         if (c.answer) {
            SendFrame(fd, c.answer(get.seq));
         }
         Bytes frame;
         RecvFrame(fd, frame, 5000); // until the client shuts the socket down
         close(notice);
      });
      EmulatorKernelCalls calls(peer.Path(), c.timeoutMs);
      HYK_ReturnStatus status;
      int32_t fd = Register(calls, &status);
      ASSERT_EQ(status, kStatusSuccess) << c.what;
      RPC_MsgInfoUser info{-1, 0, 0};
      uint8_t buffer[100];
      uint32_t length = sizeof buffer;
      EXPECT_EQ(GetMsg(calls, fd, info, buffer, length), c.status) << c.what;
      if (c.status == kStatusProtocolError) {
         EXPECT_EQ(GetMsg(calls, fd, info, buffer, length), kStatusChannelClosed) << c.what;
         // Readable for good, so that a waiting receive finds out.
         EXPECT_TRUE(Readable(fd)) << c.what;
      }
      calls.Close(fd);
   }
}

TEST(EmulatorKernelCalls, VanishedEmulator)
{
   {
      ScriptedPeer peer([](int fd, int listenFd) { close(AcceptRegistration(fd, listenFd)); });
      EmulatorKernelCalls calls(peer.Path());
      HYK_ReturnStatus status;
      int32_t fd = Register(calls, &status);
      ASSERT_EQ(status, kStatusSuccess);
      pollfd p{fd, POLLIN, 0};
      ASSERT_EQ(poll(&p, 1, 5000), 1); // end of file
      HYK_ReturnStatus reply = 0;
      int error = 0;
      EXPECT_EQ(
          calls.Invoke(kRpcSendReplyCall,
                       {static_cast<uint64_t>(fd), 1, reinterpret_cast<uintptr_t>(&reply), 4, 0, 0},
                       &error),
          kStatusChannelClosed);
      calls.Close(fd);
   }
   EmulatorKernelCalls nobody("/nonexistent/zarna/hk.sock");
   HYK_ReturnStatus status;
   Register(nobody, &status);
   EXPECT_EQ(status, kStatusChannelClosed);
}

} // namespace
