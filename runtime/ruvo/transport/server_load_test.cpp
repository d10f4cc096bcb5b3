#include "runtime/ruvo/transport/server_load.h"

#include <vector>

#include <gtest/gtest.h>

namespace Ruvo::Transport::PicoHttp {
namespace {

// The connection that has waited longest gives way; one that is busy with a
// request never does; a slot handed on is not given back twice.
TEST(ServerLoadTest, LongestWaitingGivesWayAndItsSlotPassesOn)
{
   auto load = std::make_shared<ServerLoad>(3, 0);
   std::vector<int> closed;
   std::vector<std::unique_ptr<ConnectionSlot>> slots;
   for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(load->TryAddConnection());
      slots.push_back(std::make_unique<ConnectionSlot>(load, [&closed, i] { closed.push_back(i); }));
      slots.back()->Waiting();
   }
   EXPECT_FALSE(load->TryAddConnection());
   slots[0]->Waiting(); // a new request wait: now the newest
   slots[1]->Busy();
   ASSERT_TRUE(load->TakeSlotOfLongestWaiting());
   ASSERT_TRUE(load->TakeSlotOfLongestWaiting());
   EXPECT_EQ(closed, (std::vector<int>{2, 0}));
   // Only the busy one is left, and it stays.
   EXPECT_FALSE(load->TakeSlotOfLongestWaiting());
   // A closed connection that waits again is not put back in line.
   slots[2]->Waiting();
   EXPECT_FALSE(load->TakeSlotOfLongestWaiting());
   slots[0].reset();
   slots[2].reset();
   EXPECT_EQ(load->Connections(), 3u); // their slots went to the newcomers
   slots[1].reset();
   EXPECT_EQ(load->Connections(), 2u);
   EXPECT_FALSE(load->TryCharge(1));
}

} // namespace
} // namespace Ruvo::Transport::PicoHttp
