#include "runtime/hyperkern/protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace Hyperkern;
using namespace Hyperkern::Proto;

Bytes Of(std::initializer_list<uint8_t> bytes)
{
   return Bytes(bytes.begin(), bytes.end());
}

TEST(Protocol, FramesAreLittleEndianWithTypeAndSequence)
{
   Bytes frame = Encode(0x01020304, RegisterAnswer{0xBAD0006, 7, 0x1122334455667788});
   EXPECT_EQ(frame, Of({0x01, 0x80, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x06, 0x00, 0xAD, 0x0B,
                        7,    0,    0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
}

TEST(Protocol, MalformedBodiesAreRejected)
{
   RegisterRequest reg{0, 12, 8192, "resolveKeyOp"};
   Bytes frame = Encode(1, reg);
   Header header;
   const uint8_t *body = nullptr;
   size_t size = 0;
   ASSERT_TRUE(ParseHeader(frame.data(), frame.size(), header, body, size));
   RegisterRequest out;
   EXPECT_FALSE(Decode(body, size - 1, out)) << "truncated";
   Bytes longer(body, body + size);
   longer.push_back(0);
   EXPECT_FALSE(Decode(longer.data(), longer.size(), out)) << "trailing byte";

   // A NUL inside a text would cut the name short on the C side.
   RegisterRequest nul{0, 12, 8192, std::string("resolve\0KeyOp", 13)};
   Bytes nulFrame = Encode(1, nul);
   ASSERT_TRUE(ParseHeader(nulFrame.data(), nulFrame.size(), header, body, size));
   EXPECT_FALSE(Decode(body, size, out));

   // A length field larger than what follows.
   Bytes queued = Of({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'x'});
   QueueMsgRequest q;
   EXPECT_FALSE(Decode(queued.data(), queued.size(), q));

   // A failed get-message carries no message bytes.
   GetMsgAnswer bad;
   bad.status = kStatusBusy;
   bad.message = Of({1});
   Bytes badFrame = Encode(1, bad);
   ASSERT_TRUE(ParseHeader(badFrame.data(), badFrame.size(), header, body, size));
   GetMsgAnswer badOut;
   EXPECT_FALSE(Decode(body, size, badOut));

   // Key lists cannot claim more records than their bytes can hold.
   Bytes keys = Of({0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
   ListKeysAnswer keysOut;
   EXPECT_FALSE(Decode(keys.data(), keys.size(), keysOut));

   EXPECT_FALSE(ParseHeader(frame.data(), 7, header, body, size));
   Bytes huge(kMaxFrame + 1, 0);
   EXPECT_FALSE(ParseHeader(huge.data(), huge.size(), header, body, size));
}

} // namespace
