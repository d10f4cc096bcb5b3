#include "apps/zarna/kms/zarn_client.h"

#include <gtest/gtest.h>

#include "apps/zarna/kms/testing/scripted_zarnd.h"
#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostlib/testing/log_capture.h"

namespace Zarna {
namespace {

using ZarnaTesting::ScriptedCall;
using ZarnaTesting::ScriptedState;
using ZarnaTesting::ScriptedZarnd;
namespace E = Ruvo::Data::StdErrors;
namespace Status = Com::Talvor::Brim::Kms::Providers::StatusSvc;

constexpr const char *kList = "com.talvor.brim.kms.providers.list";
constexpr const char *kStatus = "com.talvor.brim.kms.providers.status.get";

std::vector<std::string> MessageIds(const Ruvo::Data::ErrorValuePtr &error)
{
   std::vector<std::string> ids;
   for (const auto &m : error->messages()) {
      ids.push_back(m.GetId());
   }
   return ids;
}

class ZarnClientTest : public ::testing::Test {
protected:
   void TearDown() override
   {
      // No token, at any level, in any line.
      for (const auto &g : state->groups) {
         if (!g.token.empty()) {
            EXPECT_FALSE(log.Contains(g.token)) << g.group;
         }
      }
      for (const auto &[group, token] : state->attestTokens) {
         EXPECT_TRUE(token.empty() || !log.Contains(token)) << group;
      }
   }
   ZarnClientOptions Options() { return {state, zarnd.Factory(), 42}; }

   Ruvo::Outcome<KeyOp::GeneratedKey> Generate()
   {
      ZarnClient client(Options());
      Ruvo::Outcome<KeyOp::GeneratedKey> got;
      client.GenerateKey("disk", 256, Ruvo::AsyncResult<KeyOp::GeneratedKey>([&](auto &&o) {
                            got = std::move(o);
                         }));
      return got;
   }
   Ruvo::Outcome<LocalProviders::SummaryList>
   List(std::optional<LocalProviders::FilterSpec> filter = {})
   {
      ZarnClient client(Options());
      Ruvo::Outcome<LocalProviders::SummaryList> got;
      client.ListProviders(filter, Ruvo::AsyncResult<LocalProviders::SummaryList>(
                                       [&](auto &&o) { got = std::move(o); }));
      return got;
   }
   // Succeeds for the groups in `good`, refuses the others with `error`.
   void AnswerGenerate(std::set<std::string> good, std::string error = E::kUnauthenticated)
   {
      zarnd.answer = [good, error](const ScriptedCall &call) {
         if (!good.contains(call.group)) {
            return ScriptedZarnd::Fail(error);
         }
         KeyOp::GeneratedKey key;
         key.key = Ruvo::SecretString("a2V5");
         key.ciphertext = "wrapped by " + call.group;
         return ScriptedZarnd::Ok(key);
      };
   }

   HostlibTesting::LogCapture log{135};
   std::shared_ptr<ScriptedState> state = std::make_shared<ScriptedState>();
   ScriptedZarnd zarnd;
};

TEST_F(ZarnClientTest, BudgetIsGroupsCappedAtFiveAndTheLastTokenStays)
{
   for (int i = 0; i < 7; ++i) {
      state->Add("g" + std::to_string(i), "tok" + std::to_string(i));
   }
   AnswerGenerate({});
   auto got = Generate();
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(zarnd.calls.size(), 5u);
   EXPECT_EQ(state->deleted, (std::vector<std::string>{"g0", "g1", "g2", "g3"}));
   EXPECT_EQ(got.error->GetName(), E::kError);
   EXPECT_EQ(MessageIds(got.error),
             std::vector<std::string>{ErrorIds::kKmsServicesHostNotAttested});
   EXPECT_TRUE(log.Has(110, "Exhausted key operation attempts"));

   // Two groups: two attempts, then the snapshot is used up.
   state->groups.resize(2);
   state->groups[0].token = "tok0";
   state->groups[1].token = "tok1";
   state->deleted.clear();
   zarnd.calls.clear();
   got = Generate();
   EXPECT_EQ(zarnd.calls.size(), 2u);
   EXPECT_EQ(state->deleted, std::vector<std::string>{"g0"});
}

TEST_F(ZarnClientTest, InvalidArgumentEndsAtOnceUnchanged)
{
   state->Add("A", "tokA");
   state->Add("B", "tokB");
   zarnd.answer = [](const ScriptedCall &) {
      return ScriptedZarnd::Fail(E::kInvalidArgument,
                                 {Ruvo::BaseMessage("remote.bad", "bad size")});
   };
   auto got = Generate();
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(zarnd.calls.size(), 1u);
   EXPECT_EQ(got.error->GetName(), E::kInvalidArgument);
   EXPECT_EQ(MessageIds(got.error), std::vector<std::string>{"remote.bad"});
   EXPECT_TRUE(state->deleted.empty());

   // The kernel path: one call, false, no key.
   ZarnClient client(Options());
   Ruvo::SecretString key("untouched");
   EXPECT_FALSE(client.ResolveKey("disk", "zw1.x", key));
   EXPECT_EQ(zarnd.calls.size(), 2u);
   EXPECT_EQ(key.Expose(), "untouched");
}

TEST_F(ZarnClientTest, TokenLessGroupIsAttestedForTheCall)
{
   state->Add("A");
   state->attestTokens["A"] = "fresh";
   AnswerGenerate({});
   zarnd.answer = [](const ScriptedCall &) {
      return ScriptedZarnd::Fail(E::kSystemError, {{"ruvo.recv.failed", "x"}});
   };
   auto got = Generate();
   ASSERT_TRUE(got.IsError());
   ASSERT_EQ(state->attested.size(), 1u);
   EXPECT_EQ(state->attested[0], std::make_pair(std::string("A"), true));
   ASSERT_EQ(zarnd.calls.size(), 1u) << "the budget of one group is one attempt";
   EXPECT_EQ(zarnd.calls[0].token, "fresh");
   EXPECT_EQ(MessageIds(got.error),
             (std::vector<std::string>{ErrorIds::kServicesCannotCommunicate, "ruvo.recv.failed"}));

   // A failed attestation is what the caller sees.
   state->groups[0].token.clear();
   state->attestTokens["A"] = "";
   state->attestError = MakeError(ErrorClass::Error, ErrorIds::kAttestTimeout);
   zarnd.calls.clear();
   got = Generate();
   ASSERT_TRUE(got.IsError());
   EXPECT_TRUE(zarnd.calls.empty());
   EXPECT_EQ(MessageIds(got.error), std::vector<std::string>{ErrorIds::kAttestTimeout});
}

TEST_F(ZarnClientTest, AttestedTokenTakenInGroupOrderAndLostTokenReported)
{
   // The attestation may leave a token on another group than the one picked; the
   // first group holding one is used.
   state->Add("A");
   state->Add("B");
   state->attestTokens["A"] = "tokA";
   state->attestTokens["B"] = "tokB";
   AnswerGenerate({"A", "B"});
   auto got = Generate();
   ASSERT_FALSE(got.IsError());
   ASSERT_EQ(state->attested.size(), 1u);
   EXPECT_EQ(zarnd.calls[0].group, state->attested[0].first);

   // A token that vanished between the attestation and the lookup.
   struct Vanishing : ScriptedState {
      bool WaitOnAttestation(const std::string &, bool, Ruvo::Data::ErrorValuePtr &) override
      {
         return true;
      }
   };
   auto vanishing = std::make_shared<Vanishing>();
   vanishing->Add("A");
   ZarnClient client({vanishing, zarnd.Factory(), 1});
   Ruvo::Outcome<KeyOp::GeneratedKey> out;
   client.GenerateKey(
       "disk", 128, Ruvo::AsyncResult<KeyOp::GeneratedKey>([&](auto &&o) { out = std::move(o); }));
   ASSERT_TRUE(out.IsError());
   EXPECT_EQ(out.error->GetName(), E::kError);
   EXPECT_TRUE(log.Has(110, "Token negotiated was deleted"));
}

TEST_F(ZarnClientTest, MissingServiceOrTransportCostsAnAttemptAndReportsNotFound)
{
   state->Add("A", "tokA");
   state->Add("B", "tokB");
   state->hasZarnd["A"] = false;
   AnswerGenerate({"B"});
   auto got = Generate();
   ASSERT_FALSE(got.IsError());
   EXPECT_EQ(zarnd.calls.size(), 1u);
   EXPECT_TRUE(log.Has(110, "Could not find a corresponding zarnd instance for group A"));

   // Nothing else to try: the not-found error, raised by the client itself.
   state->groups = {{"A", "tokA", nullptr}};
   zarnd.failFactoryFor = {"A"};
   state->hasZarnd.clear();
   got = Generate();
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), E::kError);
   EXPECT_EQ(MessageIds(got.error), std::vector<std::string>{ErrorIds::kKmsServicesNotFound});
   EXPECT_TRUE(log.Has(110, "Cannot create zarnClient API Provider with SSL/TLS"));

   // No group at all: the state's own error.
   state->groupsError = MakeError(ErrorClass::Error, ErrorIds::kVeritorServicesNotConfigured);
   got = Generate();
   EXPECT_EQ(MessageIds(got.error),
             std::vector<std::string>{ErrorIds::kVeritorServicesNotConfigured});
}

TEST(ZarnClientConvertTest, RemoteErrorsBecomeWhatTheCallerSees)
{
   HostlibTesting::LogCapture log;
   std::vector<Ruvo::BaseMessage> remote = {{"r.one", "one"}, {"r.two", "two"}};
   for (const char *kept : {E::kNotFound, E::kInvalidArgument, E::kError}) {
      auto error = E::Make(kept, remote);
      auto original = error;
      ZarnClient::ConvertError(error);
      EXPECT_EQ(error, original) << kept;
   }
   for (const char *refused : {E::kUnauthenticated, E::kUnauthorized}) {
      auto error = E::Make(refused, remote);
      ZarnClient::ConvertError(error);
      EXPECT_EQ(error->GetName(), E::kError);
      EXPECT_EQ(MessageIds(error), std::vector<std::string>{ErrorIds::kKmsServicesHostNotAttested});
   }
   for (const char *other :
        {E::kSystemError, E::kInternalServerError, E::kInvalidRequest, "x.custom"}) {
      auto error = E::Make(other, remote);
      ZarnClient::ConvertError(error);
      EXPECT_EQ(MessageIds(error),
                (std::vector<std::string>{ErrorIds::kServicesCannotCommunicate, "r.one", "r.two"}));
   }
   // A messages field that is not a list leaves just the conversion's message.
   auto odd = E::Make(E::kSystemError, {});
   odd->SetField(E::kMessagesField, Ruvo::Data::MakeString("not a list"));
   ZarnClient::ConvertError(odd);
   EXPECT_EQ(MessageIds(odd), std::vector<std::string>{ErrorIds::kServicesCannotCommunicate});
   EXPECT_TRUE(log.Has(115, "Converting com.talvor.ruvo.std.errors.unauthorized error into Error"));
   EXPECT_FALSE(ZarnClient::IsRetriable(E::Make(E::kInvalidArgument, {})));
   EXPECT_TRUE(ZarnClient::IsRetriable(E::Make(E::kNotFound, {})));
}

class ZarnClientListTest : public ZarnClientTest {
protected:
   void SetUp() override
   {
      state->Add("A", "tokA");
      state->Add("B", "tokB");
      statuses = {{"p0", Status::Status::UNKNOWN},
                  {"p1", Status::Status::HEALTHY},
                  {"p2", Status::Status::DEGRADED},
                  {"p3", Status::Status::UNHEALTHY}};
      zarnd.answer = [this](const ScriptedCall &call) -> Ruvo::Core::MethodResultPtr {
         if (call.method == kList) {
            RemoteProviders::SummaryList list;
            for (const auto &[name, s] : statuses) {
               auto summary = std::make_shared<RemoteProviders::Summary>();
               summary->provider = name;
               list.push_back(summary);
            }
            return ScriptedZarnd::Ok(list);
         }
         std::string provider = call.input->ToString();
         for (const auto &[name, error] : statusErrors) {
            if (provider.find('"' + name + '"') != std::string::npos &&
                (errorGroup.empty() || errorGroup == call.group)) {
               return ScriptedZarnd::Fail(error);
            }
         }
         Status::Info info;
         for (const auto &[name, s] : statuses) {
            if (provider.find('"' + name + '"') != std::string::npos) {
               info.status = s;
            }
         }
         info.details.push_back(std::make_shared<Ruvo::BaseMessage>("d", "detail"));
         return ScriptedZarnd::Ok(info);
      };
   }
   static std::vector<std::pair<std::string, bool>>
   Names(const Ruvo::Outcome<LocalProviders::SummaryList> &got)
   {
      std::vector<std::pair<std::string, bool>> out;
      for (const auto &s : *got.value) {
         out.emplace_back(s->provider, s->available);
      }
      return out;
   }
   size_t Count(const char *method)
   {
      return std::count_if(zarnd.calls.begin(), zarnd.calls.end(),
                           [&](const ScriptedCall &c) { return c.method == method; });
   }

   std::vector<std::pair<std::string, Status::Status>> statuses;
   std::map<std::string, std::string> statusErrors;
   std::string errorGroup;
};

TEST_F(ZarnClientListTest, AvailabilityFromStatusAndBothFilters)
{
   auto got = List();
   ASSERT_FALSE(got.IsError());
   EXPECT_EQ(Names(got), (std::vector<std::pair<std::string, bool>>{
                             {"p0", false}, {"p1", true}, {"p2", true}, {"p3", false}}));
   EXPECT_EQ((*got.value)[1]->details.size(), 1u);

   LocalProviders::FilterSpec onlyAvailable;
   onlyAvailable.available = true;
   log.Clear();
   got = List(onlyAvailable);
   EXPECT_EQ(Names(got), (std::vector<std::pair<std::string, bool>>{{"p1", true}, {"p2", true}}));
   EXPECT_FALSE(log.Contains("Adding status for provider p3, availability = unavailable"));

   zarnd.calls.clear();
   LocalProviders::FilterSpec none;
   none.providers = std::set<std::string>{"nope"};
   got = List(none);
   ASSERT_FALSE(got.IsError());
   EXPECT_TRUE(got.value->empty());
   EXPECT_EQ(Count(kList), 1u);
   EXPECT_EQ(Count(kStatus), 0u);
}

TEST_F(ZarnClientListTest, RefusedStatusRestartsTheListingWithTheNextToken)
{
   // Refused by A's service: the listing starts over on B, without leftovers of A.
   statusErrors = {{"p2", E::kUnauthenticated}};
   errorGroup = "A";
   auto got = List();
   ASSERT_FALSE(got.IsError());
   EXPECT_EQ(got.value->size(), 4u);
   EXPECT_EQ(Count(kList), 2u);
   EXPECT_EQ(state->deleted, std::vector<std::string>{"A"});

   // Refused everywhere: the converted error.
   state->groups = {{"A", "tokA", nullptr}, {"B", "tokB", nullptr}};
   errorGroup.clear();
   statusErrors = {{"p1", E::kInternalServerError}};
   got = List();
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(MessageIds(got.error)[0], ErrorIds::kServicesCannotCommunicate);
}

} // namespace
} // namespace Zarna
