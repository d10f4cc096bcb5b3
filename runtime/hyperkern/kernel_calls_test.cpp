#include "runtime/hyperkern/kernel_calls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "runtime/hyperkern/memory_kernel.h"
#include "runtime/hyperkern/syscall_kernel.h"

namespace {

using namespace Hyperkern;

// Records the raw calls exactly as a system call would receive them.
class RecordingCalls : public KernelCalls {
public:
   struct Call {
      long number;
      CallArgs args;
   };
   HYK_ReturnStatus Invoke(long number, const CallArgs &args, int *error) override
   {
      calls.push_back({number, args});
      *error = nextError;
      return nextStatus;
   }
   int Close(int32_t fd) override
   {
      closed.push_back(fd);
      return 0;
   }
   std::vector<Call> calls;
   std::vector<int32_t> closed;
   HYK_ReturnStatus nextStatus = kStatusSuccess;
   int nextError = 0;
};

uint64_t Addr(const void *p)
{
   return reinterpret_cast<uintptr_t>(p);
}

class KernelCallsTest : public ::testing::Test {
protected:
   void TearDown() override { SetKernelCalls(nullptr); }
};

TEST_F(KernelCallsTest, CallsCarryTheirNumbersAndArgumentsInOrder)
{
   auto calls = std::make_shared<RecordingCalls>();
   SetKernelCalls(calls);
   int32_t fd = 0;
   uint32_t aux = 0;
   RPC_MsgInfoUser info{-1, 0, 0};
   uint8_t buffer[kMsgBufferSize];
   uint32_t length = sizeof buffer;
   HYK_ReturnStatus reply = 0xBAD0003;

   EXPECT_EQ(RpcRegister("resolveKeyOp", 0, kMsgInfoSize, kMsgBufferSize, &fd, &aux), 0u);
   EXPECT_EQ(RpcGetMsg(-7, &info, buffer, &length, 0, 1), 0u);
   EXPECT_EQ(RpcSendReply(-7, -1, &reply, sizeof reply), 0u);
   ASSERT_EQ(calls->calls.size(), 3u);

   const auto &reg = calls->calls[0];
   EXPECT_EQ(reg.number, 0x8E6);
   EXPECT_STREQ(reinterpret_cast<const char *>(reg.args[0]), "resolveKeyOp");
   EXPECT_EQ(reg.args, (CallArgs{reg.args[0], 0, 12, 8192, Addr(&fd), Addr(&aux)}));
   // 32-bit descriptors and ids are sign-extended to the full register.
   const uint64_t minus7 = 0xFFFFFFFFFFFFFFF9u;
   EXPECT_EQ(calls->calls[1].number, 0x811);
   EXPECT_EQ(calls->calls[1].args,
             (CallArgs{minus7, Addr(&info), Addr(buffer), Addr(&length), 0, 1}));
   EXPECT_EQ(calls->calls[2].number, 0x814);
   EXPECT_EQ(calls->calls[2].args, (CallArgs{minus7, ~uint64_t{0}, Addr(&reply), 4, 0, 0}));

   EXPECT_EQ(RpcClose(5), 0);
   EXPECT_EQ(calls->closed, std::vector<int32_t>{5});
}

TEST_F(KernelCallsTest, FailuresSetErrnoAndAMissingKernelIsNotSupported)
{
   int32_t fd = 0;
   uint32_t aux = 0;
   errno = 0;
   EXPECT_EQ(RpcRegister("resolveKeyOp", 0, 12, 8192, &fd, &aux), kStatusNotSupported);
   EXPECT_EQ(errno, ENOSYS);

   auto calls = std::make_shared<RecordingCalls>();
   calls->nextStatus = kStatusBusy;
   calls->nextError = EAGAIN;
   SetKernelCalls(calls);
   HYK_ReturnStatus reply = 0;
   errno = 0;
   EXPECT_EQ(RpcSendReply(3, 1, &reply, 4), kStatusBusy);
   EXPECT_EQ(errno, EAGAIN);
}

TEST_F(KernelCallsTest, HandlerRejectsNullPointersAndUnknownNumbers)
{
   auto kernel = std::make_shared<InMemoryKernel>();
   int error = 0;
   EXPECT_EQ(kernel->Invoke(kRpcRegisterCall, {0, 0, 12, 8192, 0, 0}, &error),
             kStatusInvalidArgument);
   EXPECT_EQ(error, EFAULT);
   EXPECT_EQ(kernel->Invoke(kRpcGetMsgCall, {3, 0, 0, 0, 0, 1}, &error), kStatusInvalidArgument);
   EXPECT_EQ(kernel->Invoke(kRpcSendReplyCall, {3, 1, 0, 4, 0, 0}, &error), kStatusInvalidArgument);
   int32_t fd;
   uint32_t aux;
   EXPECT_EQ(kernel->Invoke(kRpcRegisterCall,
                            {Addr("resolveKeyOp"), 0, 12, uint64_t{1} << 32, Addr(&fd), Addr(&aux)},
                            &error),
             kStatusInvalidArgument);
   EXPECT_EQ(kernel->Invoke(4242, {}, &error), kStatusNotSupported);
   EXPECT_EQ(error, ENOSYS);
   EXPECT_TRUE(kernel->Registers().empty());
}

TEST_F(KernelCallsTest, SyscallsOnAKernelWithoutThemAreNotSupported)
{
   SetKernelCalls(std::make_shared<SyscallKernelCalls>());
   int32_t fd = -1;
   uint32_t aux = 0;
   EXPECT_EQ(RpcRegister("resolveKeyOp", 0, 12, 8192, &fd, &aux), kStatusNotSupported);
   EXPECT_EQ(errno, ENOSYS);
   EXPECT_EQ(fd, -1);
}

} // namespace
