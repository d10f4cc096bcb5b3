#include "peers/hyperkern-emu/emulator_core.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "peers/hyperkern-emu/report.h"

namespace {

using namespace HyperkernEmu;
using namespace Hyperkern;
using Clock = EmulatorCore::Clock;

Proto::RegisterRequest Endpoint()
{
   return {0, 12, 8192, "resolveKeyOp"};
}

Proto::SendReplyRequest ReplyOf(int32_t id, uint32_t status)
{
   return {id, Bytes{static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8),
                     static_cast<uint8_t>(status >> 16), static_cast<uint8_t>(status >> 24)}};
}

Proto::GetMsgRequest Get(uint32_t capacity = 8192)
{
   Proto::GetMsgRequest request;
   request.capacity = capacity;
   return request;
}

TEST(EmulatorCore, RegistrationRules)
{
   uint32_t aux;
   EmulatorCore core({}, Clock::now());
   EXPECT_EQ(core.Register({0, 12, 8192, "otherOp"}, &aux), kStatusNotFound);
   EXPECT_EQ(core.Register({0, 16, 8192, "resolveKeyOp"}, &aux), kStatusInvalidArgument);
   EXPECT_EQ(core.Register(Endpoint(), &aux), kStatusSuccess);
   std::vector<Completion> done;
   core.ChannelGone(done);
   EXPECT_EQ(core.Register(Endpoint(), &aux), kStatusSuccess);
}

TEST(EmulatorCore, LostTakenRequestsAreAnsweredAndDroppedSoTheQueueNeverStaysFull)
{
   const Clock::time_point start = Clock::now();
   EmulatorCore core({}, start);
   uint32_t aux;
   ASSERT_EQ(core.Register(Endpoint(), &aux), kStatusSuccess);
   int32_t id = 0;
   for (size_t i = 0; i < kMaxQueued; ++i) {
      ASSERT_EQ(core.Queue(Bytes{'k', 0}, i == 0 ? 5 : 0, start + std::chrono::hours(1), &id),
                kStatusSuccess);
      if (i + 1 < kMaxQueued) {
         ASSERT_EQ(core.GetMsg(Get()).status, kStatusSuccess); // taken, never answered
      }
   }
   EXPECT_EQ(core.Queue(Bytes{'k', 0}, 0, start, &id), kStatusBusy);

   std::vector<Completion> done;
   EXPECT_EQ(core.ChannelGone(done), kMaxQueued - 1);
   ASSERT_EQ(done.size(), 1u); // the only taken request somebody waits for
   EXPECT_EQ(done[0].waiter, 5u);
   EXPECT_EQ(done[0].answer.status, kStatusChannelClosed);
   EXPECT_EQ(done[0].answer.ended, 0);

   // The request never taken waits for the next registration, and there is room again.
   ASSERT_EQ(core.Register(Endpoint(), &aux), kStatusSuccess);
   EXPECT_EQ(core.Queue(Bytes{'n', 0}, 0, start, &id), kStatusSuccess);
   Proto::GetMsgAnswer left = core.GetMsg(Get());
   ASSERT_EQ(left.status, kStatusSuccess);
   EXPECT_EQ(left.info.id, static_cast<int32_t>(kMaxQueued));
   EXPECT_EQ(core.Reply(ReplyOf(left.info.id, 0xBAD0003), start, done), kStatusSuccess);

   // On a live channel a taken request that no reply ends is dropped after the limit.
   done.clear();
   ASSERT_EQ(core.Queue(Bytes{'s', 0}, 9, start + std::chrono::hours(2), &id), kStatusSuccess);
   ASSERT_EQ(core.GetMsg(Get(), start).status, kStatusSuccess); // the 'n' request
   ASSERT_EQ(core.GetMsg(Get(), start).info.id, id);
   EXPECT_EQ(core.NextDeadline(), start + kTakenRequestLimit);
   core.Expire(start + kTakenRequestLimit - std::chrono::seconds(1), done);
   EXPECT_TRUE(done.empty());
   core.Expire(start + kTakenRequestLimit, done);
   ASSERT_EQ(done.size(), 1u);
   EXPECT_EQ(done[0].waiter, 9u);
   EXPECT_EQ(done[0].answer.status, kStatusTimedOut);
   EXPECT_EQ(core.Reply(ReplyOf(id, 0xBAD0003), start, done), kStatusNotFound);
   EXPECT_FALSE(core.NextDeadline());
}

TEST(EmulatorCore, ScriptedBusyAnswersKeepTheRequestOpenUntilAFinalAnswer)
{
   Options options;
   options.replyStatuses = {kStatusBusy, kStatusBusy, 0};
   const Clock::time_point start = Clock::now();
   EmulatorCore core(options, start);
   uint32_t aux;
   ASSERT_EQ(core.Register(Endpoint(), &aux), kStatusSuccess);
   int32_t id = 0;
   ASSERT_EQ(core.Queue(Bytes{'k', 0}, 77, start + std::chrono::seconds(5), &id), kStatusSuccess);
   Proto::GetMsgAnswer message = core.GetMsg(Get());
   ASSERT_EQ(message.status, kStatusSuccess);
   EXPECT_EQ(message.info.id, id);
   EXPECT_FALSE(core.HasQueued());

   std::vector<Completion> done;
   EXPECT_EQ(core.Reply(ReplyOf(id, 0xBAD0003), start, done), kStatusBusy);
   EXPECT_EQ(core.Reply(ReplyOf(id, 0xBAD0003), start, done), kStatusBusy);
   EXPECT_TRUE(done.empty());
   EXPECT_EQ(core.Reply(ReplyOf(id, 0xBAD0003), start, done), kStatusSuccess);
   ASSERT_EQ(done.size(), 1u);
   EXPECT_EQ(done[0].waiter, 77u);
   EXPECT_EQ(done[0].answer.replyCalls, 3u);
   EXPECT_EQ(done[0].answer.replyStatus, 0xBAD0003u);
   EXPECT_EQ(done[0].answer.ended, 1);
   // Once the script is used up the emulator judges by itself: the id is gone now.
   EXPECT_EQ(core.Reply(ReplyOf(id, 0), start, done), kStatusNotFound);
   EXPECT_EQ(core.Reply(Proto::SendReplyRequest{id, Bytes{1, 2}}, start, done),
             kStatusInvalidArgument);
   EXPECT_EQ(core.ListReplies().total, 5u);
}

TEST(EmulatorCore, GetMessageFailuresFillTheIdAndConsumeTheMessage)
{
   Options options;
   options.getMsgFail = 0xBAD0007;
   options.getMsgFailCount = 1;
   EmulatorCore core(options, Clock::now());
   uint32_t aux;
   ASSERT_EQ(core.Register(Endpoint(), &aux), kStatusSuccess);
   EXPECT_EQ(core.GetMsg(Get()).status, kStatusNoMessage);
   int32_t first = 0, second = 0;
   core.Queue(Bytes{'a', 0}, 0, Clock::now(), &first);
   core.Queue(Bytes{'b', 0}, 0, Clock::now(), &second);

   Proto::GetMsgAnswer failed = core.GetMsg(Get());
   EXPECT_EQ(failed.status, 0xBAD0007u);
   EXPECT_EQ(failed.info.id, first);
   EXPECT_TRUE(failed.message.empty());
   Proto::GetMsgAnswer ok = core.GetMsg(Get()); // only one failure was asked for
   EXPECT_EQ(ok.status, kStatusSuccess);
   EXPECT_EQ(ok.info.id, second);

   std::vector<Completion> done;
   EXPECT_EQ(core.Reply(ReplyOf(first, 0xBAD0007), Clock::now(), done), kStatusSuccess);
   EXPECT_EQ(core.Reply(ReplyOf(-1, 0xBAD0007), Clock::now(), done), kStatusNotFound);
   int32_t id;
   EXPECT_EQ(core.Queue(Bytes(Proto::kMaxMessage + 1, 'x'), 0, Clock::now(), &id),
             kStatusMessageTooLarge);
}

TEST(EmulatorCore, WaitersTimeOutButTheRequestStays)
{
   const Clock::time_point start = Clock::now();
   EmulatorCore core({}, start);
   int32_t id;
   core.Queue(Bytes{'a', 0}, 5, start + std::chrono::milliseconds(100), &id);
   ASSERT_TRUE(core.NextDeadline().has_value());
   std::vector<Completion> done;
   core.Expire(start + std::chrono::milliseconds(99), done);
   EXPECT_TRUE(done.empty());
   core.Expire(start + std::chrono::milliseconds(100), done);
   ASSERT_EQ(done.size(), 1u);
   EXPECT_EQ(done[0].answer.status, kStatusTimedOut);
   EXPECT_EQ(done[0].answer.ended, 0);
   EXPECT_FALSE(core.NextDeadline().has_value());
   EXPECT_TRUE(core.HasQueued());
}

TEST(EmulatorCore, KeyCacheChecksCipherAndLengthAndNamesKeysByProviderAndDigest)
{
   EmulatorCore core({}, Clock::now());
   Proto::KeyAddRequest add;
   add.provider = "prov";
   add.digest = Hyperkern::Proto::KeyIdDigest{1};
   add.cipher = "AES-256";
   add.key = Bytes(32, 0x42);
   EXPECT_EQ(core.AddKey(add), kStatusSuccess);
   Proto::KeyAddRequest wrong = add;
   wrong.digest = Hyperkern::Proto::KeyIdDigest{2};
   wrong.key = Bytes(20, 1);
   EXPECT_EQ(core.AddKey(wrong), kStatusInvalidArgument);
   wrong.cipher = "DES";
   EXPECT_EQ(core.AddKey(wrong), kStatusInvalidArgument);

   EXPECT_EQ(core.SetKeyType({"prov", add.digest, 2}), kStatusSuccess);
   EXPECT_EQ(core.SetKeyType({"other", add.digest, 2}), kStatusNotFound);

   Proto::ListKeysAnswer hidden = core.ListKeys(false);
   ASSERT_EQ(hidden.keys.size(), 1u);
   EXPECT_EQ(hidden.keys[0].keyLength, 32u);
   EXPECT_EQ(core.RemoveKey({"other", add.digest}), kStatusNotFound);
}

TEST(Report, StatusArguments)
{
   std::vector<uint32_t> list;
   std::string error;
   ASSERT_TRUE(ParseStatusList("0xBAD0006,0xbad0006,195887110,0", list, &error));
   EXPECT_EQ(list, (std::vector<uint32_t>{0xBAD0006, 0xBAD0006, 0xBAD0006, 0}));
   EXPECT_FALSE(ParseStatusList("0xBAD0006,", list, &error));
   EXPECT_FALSE(ParseStatusList("0x100000000", list, &error));
   EXPECT_FALSE(ParseStatusList("-1", list, &error));
   EXPECT_FALSE(ParseStatusList("12abc", list, &error));
}

TEST(Report, KeyTextFromPeersIsShownEscapedAndJsonStaysValid)
{
   Proto::ListKeysAnswer keys;
   keys.total = 1;
   Proto::KeyRecord record;
   record.provider = "p\n\xff";
   record.cipher = "AES-128";
   record.keyLength = 16;
   keys.keys.push_back(record);
   std::string text = KeysReport(keys, false, false);
   EXPECT_NE(text.find("provider p\\x0a"), std::string::npos);
   EXPECT_EQ(text.find('\xff'), std::string::npos);
   auto json = nlohmann::json::parse(KeysReport(keys, true, false));
   EXPECT_EQ(json["keys"][0]["keyLength"], 16);
   EXPECT_FALSE(json["keys"][0].contains("key"));
}

} // namespace
