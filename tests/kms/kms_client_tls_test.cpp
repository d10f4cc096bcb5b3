// The key provider client over real TLS to real zarnd processes, with the trust
// state scripted: what each refusal, fault and trust mistake ends in, and after
// how many attempts.
#include <gtest/gtest.h>

#include <fstream>

#include "apps/zarna/kms/testing/scripted_zarnd.h"
#include "apps/zarna/kms/zarn_client.h"
#include "apps/zarna/ruvo/messages.h"
#include "peers/zarnd/testing/test_tokens.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "tests/kms/zarnd_process.h"

namespace Zarna {
namespace {

using ZarnaTesting::MintToken;
using ZarnaTesting::TestKey;
using ZarnaTesting::TokenClaimsFor;
using ZarnaTesting::ZarndProcess;
namespace E = Ruvo::Data::StdErrors;

// The scripted state, pointing each group at a real zarnd with the CA it trusts.
class RealServices : public ZarnaTesting::ScriptedState {
public:
   struct Target {
      int port;
      std::vector<std::string> cas;
   };
   std::map<std::string, Target> targets;
   bool GetZarndInfo(const std::string &group, std::string &hostname, uint32_t &port,
                     std::vector<std::string> &certificates) override
   {
      auto it = targets.find(group);
      if (it == targets.end()) {
         return false;
      }
      hostname = "127.0.0.1";
      port = static_cast<uint32_t>(it->second.port);
      certificates = it->second.cas;
      return true;
   }
};

std::vector<std::string> Ids(const Ruvo::Data::ErrorValuePtr &error)
{
   std::vector<std::string> ids;
   for (const auto &m : error->messages()) {
      ids.push_back(m.GetId());
   }
   return ids;
}

class KmsClientTls : public ::testing::Test {
protected:
   static std::vector<std::string> Cas(const ZarndProcess &z)
   {
      std::ifstream in(z.CaFile());
      return {std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
   }
   void SetUp() override { attestd.WritePublicPem(dir.File("attestd.pub")); }
   std::unique_ptr<ZarndProcess> Zarnd(std::vector<std::string> extra)
   {
      extra.insert(extra.end(), {"--provider", "disk", "--provider", "tape:unavailable"});
      auto z = std::make_unique<ZarndProcess>("z", dir.File("attestd.pub"), extra);
      EXPECT_NE(z->Port(), 0) << z->Log();
      return z;
   }
   void Group(const std::string &group, const std::string &token, const ZarndProcess &z,
              std::vector<std::string> cas = {})
   {
      state->Add(group, token);
      state->targets[group] = {z.Port(), cas.empty() ? Cas(z) : cas};
   }
   std::string Token(nlohmann::json providers = "*")
   {
      return MintToken(attestd.Get(), TokenClaimsFor(providers, "zarnd"));
   }
   Ruvo::Outcome<KeyOp::GeneratedKey> Generate(int64_t bits = 256)
   {
      ZarnClient client({state, {}, 3});
      Ruvo::Outcome<KeyOp::GeneratedKey> got;
      client.GenerateKey("disk", bits, Ruvo::AsyncResult<KeyOp::GeneratedKey>([&](auto &&o) {
                            got = std::move(o);
                         }));
      return got;
   }

   HostlibTesting::LogCapture log{135};
   ZarnaTesting::TempDir dir;
   TestKey attestd = TestKey::Generate();
   std::shared_ptr<RealServices> state = std::make_shared<RealServices>();
};

TEST_F(KmsClientTls, RefusedTokensEachCostAnAttemptAndEndAsHostNotAttested)
{
   auto zarnd = Zarnd({});
   auto expired = TokenClaimsFor("*", "zarnd", -300);
   Group("expired", MintToken(attestd.Get(), expired), *zarnd);
   Group("stranger", MintToken(TestKey::Generate().Get(), TokenClaimsFor("*", "zarnd")), *zarnd);
   Group("none",
         ZarnaTesting::MintToken(attestd.Get(), TokenClaimsFor("*", "zarnd"), {{"alg", "none"}}),
         *zarnd);
   Group("other", Token({"tape"}), *zarnd);
   auto got = Generate();
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(Ids(got.error), std::vector<std::string>{ErrorIds::kKmsServicesHostNotAttested});
   EXPECT_EQ(state->deleted, (std::vector<std::string>{"expired", "stranger", "none"}));
   EXPECT_EQ(log.Count("Connecting to zarnd 127.0.0.1"), 4u);

   // A good token after them all: the call goes through.
   state->groups.clear();
   state->deleted.clear();
   Group("expired", MintToken(attestd.Get(), expired), *zarnd);
   Group("good", Token({"disk"}), *zarnd);
   got = Generate();
   ASSERT_FALSE(got.IsError()) << got.error->ToString();
   EXPECT_EQ(got.value->key.Size(), 44u);
   EXPECT_EQ(state->deleted, std::vector<std::string>{"expired"});

   // A bad key size is the caller's mistake: one call, the remote error as it is.
   got = Generate(100);
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(got.error->GetName(), E::kInvalidArgument);
   EXPECT_EQ(state->deleted, std::vector<std::string>{"expired"});
   for (const auto &g : state->groups) {
      EXPECT_TRUE(g.token.empty() || !log.Contains(g.token.substr(g.token.rfind('.') + 1)))
          << "token in the log";
   }
}

TEST_F(KmsClientTls, UntrustedCertificatesAndBrokenServicesEndAsCannotCommunicate)
{
   auto zarnd = Zarnd({});
   auto other = ZarnaTesting::TestPki::Make("zarnd.test", "127.0.0.1");
   Group("untrusted", Token(), *zarnd, {other.root.Pem(), other.intermediate.Pem()});
   auto got = Generate();
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(Ids(got.error), (std::vector<std::string>{ErrorIds::kServicesCannotCommunicate,
                                                       "ruvo.connect.failed"}));

   // Each broken reply: the conversion's message, then what the transport or the
   // service said.
   const std::pair<const char *, const char *> faults[] = {
       {"garbage", "ruvo.protocol.invalid.message"},
       {"close", "ruvo.recv.failed"},
       {"wrong-id", "ruvo.unknown.request.id"},
       {"internal", "zarnd.fault"}};
   for (const auto &[fault, id] : faults) {
      auto broken = Zarnd({"--fault", fault});
      state->groups.clear();
      Group("broken", Token(), *broken);
      got = Generate();
      ASSERT_TRUE(got.IsError()) << fault;
      EXPECT_EQ(Ids(got.error),
                (std::vector<std::string>{ErrorIds::kServicesCannotCommunicate, id}))
          << fault;
   }
   auto missing = Zarnd({"--fault", "not-found"});
   state->groups.clear();
   Group("missing", Token(), *missing);
   got = Generate();
   EXPECT_EQ(got.error->GetName(), E::kNotFound);
}

TEST_F(KmsClientTls, ProviderListingOverTheRealServiceWithStatusFailures)
{
   auto zarnd = Zarnd({"--fault", "status-fail:tape:not-found"});
   Group("g", Token(), *zarnd);
   ZarnClient client({state, {}, 3});
   Ruvo::Outcome<LocalProviders::SummaryList> got;
   client.ListProviders(std::nullopt, Ruvo::AsyncResult<LocalProviders::SummaryList>(
                                          [&](auto &&o) { got = std::move(o); }));
   ASSERT_FALSE(got.IsError()) << got.error->ToString();
   ASSERT_EQ(got.value->size(), 1u);
   EXPECT_EQ((*got.value)[0]->provider, "disk");
   EXPECT_TRUE((*got.value)[0]->available);

   auto refusing = Zarnd({"--fault", "status-fail:tape:unauthorized"});
   state->groups.clear();
   Group("g", Token(), *refusing);
   ZarnClient again({state, {}, 3});
   again.ListProviders(std::nullopt, Ruvo::AsyncResult<LocalProviders::SummaryList>(
                                         [&](auto &&o) { got = std::move(o); }));
   ASSERT_TRUE(got.IsError());
   EXPECT_EQ(Ids(got.error), std::vector<std::string>{ErrorIds::kKmsServicesHostNotAttested});
}

} // namespace
} // namespace Zarna
