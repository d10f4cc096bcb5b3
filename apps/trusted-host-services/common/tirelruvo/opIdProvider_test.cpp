#include "apps/trusted-host-services/common/tirelruvo/opIdProvider.h"

#include <gtest/gtest.h>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/trusted-host-services/common/tirelruvo/resultLogger.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace {

using Ths::Common::TirelRuvo::OpIdProvider;
using Ths::Common::TirelRuvo::ResultLogger;
using Tirel::Service::Logger;

// Records the op-id bound while it runs and answers with a scripted result.
class Recorder : public Ruvo::Core::AsyncApiProvider {
public:
   std::string GetName() const override { return "Recorder"; }
   void Invoke(const Ruvo::Core::MethodIdentifier &, const Ruvo::Data::DataValuePtr &,
               const Ruvo::Core::ExecutionContextPtr &, Ruvo::Core::AsyncApiResultCb cb) override
   {
      seenOpId = Log_GetContext("opID");
      Log_Level(125, "inside the call\n");
      cb(nullptr, {0, 10, 3}, {});
      cb(answer, {}, {});
   }
   std::optional<std::string> seenOpId;
   Ruvo::Core::MethodResultPtr answer = Ruvo::Core::MethodResult::GetInstance(Ruvo::Data::MakeString("ok"));
};

struct Fixture : ::testing::Test {
   HostlibTesting::LogCapture capture{135};
   Logger logger{Logger::kTrivia};
   std::shared_ptr<Recorder> next = std::make_shared<Recorder>();
   OpIdProvider provider{next, logger};

   void Call(const std::string &iface, const std::string &op, Ruvo::Core::ExecutionContextPtr ctx = nullptr)
   {
      provider.Invoke(Ruvo::Core::MethodIdentifier(iface, op), Ruvo::Data::MakeInteger(7),
                      ctx ? ctx : std::make_shared<Ruvo::Core::ExecutionContext>(),
                      [](const Ruvo::Core::MethodResultPtr &, const Ruvo::Core::Progress &,
                         Ruvo::Core::Continuation) {});
   }
};

TEST(OpIdProviderName, TakesTheOperationWhenItHasTwoCharactersOrMore)
{
   EXPECT_EQ(OpIdProvider::GeneratorName("a.b.cd"), "cd");
   EXPECT_EQ(OpIdProvider::GeneratorName("a.b.c"), "a.b.c");
   EXPECT_EQ(OpIdProvider::GeneratorName("plain"), "plain");
   EXPECT_EQ(OpIdProvider::GeneratorName("a.b."), "a.b.");
}

TEST_F(Fixture, BindsAFreshOpIdForTheCallAndRestoresThePreviousBinding)
{
   Log_SetContext("opID", std::string("outer-1"));
   Call("a.b", "cd");
   ASSERT_TRUE(next->seenOpId);
   EXPECT_EQ(next->seenOpId->rfind("cd-", 0), 0u) << *next->seenOpId;
   EXPECT_EQ(next->seenOpId->substr(next->seenOpId->size() - 2), "-0");
   EXPECT_EQ(Log_GetContext("opID"), "outer-1");

   Log_SetContext("opID", std::nullopt);
   Call("a.b", "c");
   EXPECT_EQ(next->seenOpId->rfind("a.b.c-", 0), 0u) << *next->seenOpId;
   EXPECT_EQ(Log_GetContext("opID"), std::nullopt);
}

TEST_F(Fixture, CallerSuppliedOpIdIsUsedUnchanged)
{
   auto ctx = std::make_shared<Ruvo::Core::ExecutionContext>();
   ctx->GetApplicationContext()["opId"] = "zarnactl-42";
   Call("com.talvor.x", "list", ctx);
   EXPECT_EQ(next->seenOpId, "zarnactl-42");
   EXPECT_TRUE(capture.Contains("inside the call"));
}

TEST_F(Fixture, LogsCallAndResultAtTheMostVerboseLevel)
{
   Call("com.talvor.x", "list");
   EXPECT_TRUE(capture.Has(130, "Invoke-MethodId: com.talvor.x.list"));
   EXPECT_TRUE(capture.Has(135, "Invoke-Input: <integer>")); // undeclared: the shape only
   EXPECT_TRUE(capture.Has(135, "MethodResult: (null), Progress: {0, 10, 3}"));
   EXPECT_TRUE(capture.Has(135, "MethodResult: \"ok\""));
}

TEST_F(Fixture, EachLoggerLevelWritesOnlyItsLines)
{
   next->answer = Ruvo::Core::MethodResult::GetErrorInstance(
      Ruvo::Data::ErrorValue::Create("com.talvor.ruvo.std.errors.not_found", {}));
   const std::string fail = "MethodResult [FAIL] (MethodId:com.talvor.x.get),com.talvor.ruvo.std.errors.not_found{messages: []}";
   struct Case {
      int level;
      bool methodLine, inputLine, failLine;
   } cases[] = {{Logger::kTrivia, true, true, true},
                {Logger::kVerbose, true, false, true},
                {Logger::kInfo, false, false, true},
                {Logger::kWarning, false, false, true},
                {Logger::kError, false, false, false},
                {Logger::kNone, false, false, false}};
   for (const auto &c : cases) {
      capture.Clear();
      logger.SetLevel(c.level);
      Call("com.talvor.x", "get");
      EXPECT_EQ(capture.Contains("Invoke-MethodId:"), c.methodLine) << c.level;
      EXPECT_EQ(capture.Contains("Invoke-Input:"), c.inputLine) << c.level;
      EXPECT_EQ(capture.Has(115, fail), c.failLine) << c.level;
      EXPECT_EQ(capture.Contains("Progress:"), c.level == Logger::kTrivia) << c.level;
   }
}

TEST(ResultLogger, PassesEverythingOnAndReleasesTheCallbackAfterTheFinalResult)
{
   Logger quiet{Logger::kNone};
   auto held = std::make_shared<int>(0);
   std::vector<bool> seen;
   auto cb = ResultLogger::Wrap(
      [held, &seen](const Ruvo::Core::MethodResultPtr &r, const Ruvo::Core::Progress &, Ruvo::Core::Continuation) {
         seen.push_back(r != nullptr);
      },
      std::make_shared<Ruvo::Core::MethodIdentifier>("a", "b"), quiet);
   std::weak_ptr<int> watch = held;
   held.reset();
   cb(nullptr, {}, {});
   EXPECT_FALSE(watch.expired());
   cb(Ruvo::Core::MethodResult::GetInstance(nullptr), {}, {});
   EXPECT_TRUE(watch.expired());
   cb(Ruvo::Core::MethodResult::GetInstance(nullptr), {}, {}); // nothing left to call
   EXPECT_EQ(seen, (std::vector<bool>{false, true}));
}

} // namespace
