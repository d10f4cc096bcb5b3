#include "runtime/hyperkern/protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace Hyperkern;
using namespace Hyperkern::Proto;

template <typename M>
bool RoundTrip(const Bytes &frame, uint32_t expectType, uint32_t expectSeq, M &out)
{
   Header header;
   const uint8_t *body = nullptr;
   size_t size = 0;
   return ParseHeader(frame.data(), frame.size(), header, body, size) &&
          header.type == expectType && header.seq == expectSeq && Decode(body, size, out);
}

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

TEST(Protocol, EveryRecordSurvivesARoundTrip)
{
   RegisterRequest reg{0, 12, 8192, "resolveKeyOp"};
   RegisterRequest regOut;
   ASSERT_TRUE(RoundTrip(Encode(1, reg), kRegister, 1, regOut));
   EXPECT_EQ(regOut.name, "resolveKeyOp");
   EXPECT_EQ(regOut.bufferSize, 8192u);

   GetMsgAnswer get;
   get.info = {42, 5, 0x1002A};
   get.message = Of({'k', 'e', 'y', 0});
   GetMsgAnswer getOut;
   ASSERT_TRUE(RoundTrip(Encode(2, get), kGetMsg | kAnswerBit, 2, getOut));
   EXPECT_EQ(getOut.info.id, 42);
   EXPECT_EQ(getOut.info.replyInfo, 0x1002Au);
   EXPECT_EQ(getOut.message, get.message);

   SendReplyRequest reply{-1, Of({3, 0, 0xAD, 0x0B})};
   SendReplyRequest replyOut;
   ASSERT_TRUE(RoundTrip(Encode(3, reply), kSendReply, 3, replyOut));
   EXPECT_EQ(replyOut.msgId, -1);

   QueueMsgAnswer queued{0, 9, 5, 0xBAD0003, 0, 1};
   QueueMsgAnswer queuedOut;
   ASSERT_TRUE(RoundTrip(Encode(4, queued), kQueueMsg | kAnswerBit, 4, queuedOut));
   EXPECT_EQ(queuedOut.replyCalls, 5u);
   EXPECT_EQ(queuedOut.replyStatus, 0xBAD0003u);

   ListRepliesAnswer list;
   list.total = 3;
   list.replies.push_back({1, 4, 0xBAD0003, 0xBAD0006, 500});
   ListRepliesAnswer listOut;
   ASSERT_TRUE(RoundTrip(Encode(5, list), kListReplies | kAnswerBit, 5, listOut));
   ASSERT_EQ(listOut.replies.size(), 1u);
   EXPECT_EQ(listOut.replies[0].answer, 0xBAD0006u);
   EXPECT_EQ(listOut.replies[0].timeMs, 500u);

   KeyAddRequest add;
   add.provider = "prov";
   add.digest.fill(0xAB);
   add.cipher = "AES-128";
   add.key = Bytes(16, 0x11);
   KeyAddRequest addOut;
   ASSERT_TRUE(RoundTrip(Encode(6, add), kKeyAdd, 6, addOut));
   EXPECT_EQ(addOut.digest, add.digest);
   EXPECT_EQ(addOut.key, add.key);

   ListKeysAnswer keys;
   keys.total = 1;
   KeyRecord record;
   record.provider = "prov";
   record.cipher = "AES-256";
   record.keyType = 2;
   record.keyLength = 32;
   keys.keys.push_back(record);
   ListKeysAnswer keysOut;
   ASSERT_TRUE(RoundTrip(Encode(7, keys), kListKeys | kAnswerBit, 7, keysOut));
   ASSERT_EQ(keysOut.keys.size(), 1u);
   EXPECT_EQ(keysOut.keys[0].keyType, 2u);
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
