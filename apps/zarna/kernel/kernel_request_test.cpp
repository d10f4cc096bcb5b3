#include "apps/zarna/kernel/kernel_request.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Zarna::ResolveKeyWork;

TEST(ResolveKeyWork, CopiesIdReplyFieldAndBuffer)
{
   uint8_t buffer[8192] = {};
   memcpy(buffer, "loc", 4);
   buffer[8191] = 0x77;
   ResolveKeyWork work = ResolveKeyWork::FromMessage({-1, 0xAABBCCDD, 0x10005}, buffer);
   EXPECT_EQ(work.MessageId(), -1);
   EXPECT_EQ(work.infoHead, 0xAABBCCDDFFFFFFFFu);
   EXPECT_EQ(work.replyInfo, 0x10005u);
   EXPECT_EQ(work.LocatorText(), "loc");
   EXPECT_EQ(work.buffer[8191], 0x77);
   EXPECT_EQ(ResolveKeyWork::FromMessage({42, 0, 0}, buffer).MessageId(), 42);
}

} // namespace
