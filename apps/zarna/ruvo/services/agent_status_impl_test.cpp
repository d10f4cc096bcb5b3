#include "apps/zarna/ruvo/services/agent_status_impl.h"

#include <gtest/gtest.h>

#include <jwt.h>

#include <cstdlib>

namespace {

namespace Status = Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc;

std::string TokenExpiringAt(int64_t exp)
{
   jwt_t *jwt = nullptr;
   EXPECT_EQ(jwt_new(&jwt), 0);
   jwt_add_grant_int(jwt, "exp", exp);
   char *text = jwt_encode_str(jwt);
   std::string token = text ? text : "";
   free(text);
   jwt_free(jwt);
   return token;
}

std::shared_ptr<const Zarna::ServiceSummary> Service(const std::string &id, const std::string &host,
                                                     const std::string &group)
{
   auto address = std::make_shared<Zarna::NetworkAddress>();
   address->hostname = host;
   auto summary = std::make_shared<Zarna::ServiceSummary>();
   summary->instanceId = id;
   summary->address = address;
   summary->group = group;
   return summary;
}

constexpr int64_t kNow = 1800000000;

Status::StatusSources Sources()
{
   Status::StatusSources s;
   s.attestationServices = [] {
      return Zarna::ZarnaState::ServiceList{Service("a1", "attest.one", "one"), Service("a2", "attest.two", "two")};
   };
   // Group "three" has only a key provider service so far.
   s.keyProviderServices = [] {
      return Zarna::ZarnaState::ServiceList{Service("k1", "kms.one", "one"), Service("k3", "kms.three", "three")};
   };
   s.tokens = [] { return std::vector<Zarna::ZarnaStateInfo>{}; };
   s.kernelChannelRegistered = [] { return true; };
   s.firewall = [] {
      Status::FirewallSnapshot f;
      f.backend = "nftables";
      f.enabled = true;
      f.allowed = {"192.0.2.1"};
      return f;
   };
   s.lastAttestation = [](const std::string &group) -> std::optional<Zarna::AttestationOutcome> {
      if (group == "one") {
         return Zarna::AttestationOutcome{true, kNow - 60};
      }
      if (group == "two") {
         return Zarna::AttestationOutcome{false, kNow - 5};
      }
      return std::nullopt;
   };
   s.nowSec = [] { return kNow; };
   s.uptimeSec = [] { return 42; };
   s.version = "7.0.0";
   s.build = 9;
   return s;
}

const Status::GroupStatus *Find(const Status::Info &info, const std::string &group)
{
   for (const auto &g : info.groups) {
      if (g.group == group) {
         return &g;
      }
   }
   return nullptr;
}

// Each group appears once with both its services, whichever kind came first,
// and carries its own latest attestation.
TEST(AgentStatus, GroupsJoinBothServiceKindsAndTheirAttestations)
{
   Status::Info info = Status::CollectStatus(Sources());
   ASSERT_EQ(info.groups.size(), 3u);
   const auto *one = Find(info, "one");
   const auto *two = Find(info, "two");
   const auto *three = Find(info, "three");
   ASSERT_TRUE(one && two && three);
   ASSERT_TRUE(one->attestation_service && one->key_provider_service);
   EXPECT_EQ(one->attestation_service->service, "a1");
   EXPECT_EQ(one->key_provider_service->address->hostname, "kms.one");
   EXPECT_FALSE(two->key_provider_service);
   EXPECT_FALSE(three->attestation_service);
   ASSERT_TRUE(one->last_attestation && two->last_attestation);
   EXPECT_TRUE(one->last_attestation->succeeded);
   EXPECT_FALSE(two->last_attestation->succeeded);
   EXPECT_EQ(two->last_attestation->time, kNow - 5);
   EXPECT_FALSE(three->last_attestation);
   ASSERT_TRUE(info.firewall);
   EXPECT_EQ(info.firewall->allowed_addresses, std::vector<std::string>{"192.0.2.1"});
}

// Token times: the refresh comes the lead time before expiry; a token with
// less left than the lead is refreshed now, one already expired at its expiry;
// a token that does not decode is held but has no times.
TEST(AgentStatus, TokenTimesFollowTheRefreshRule)
{
   Status::StatusSources s = Sources();
   s.tokens = [] {
      return std::vector<Zarna::ZarnaStateInfo>{
          {"one", TokenExpiringAt(kNow + 7200), nullptr},
          {"two", TokenExpiringAt(kNow + 600), nullptr},
          {"three", "not-a-token", nullptr},
          {"gone", TokenExpiringAt(kNow - 10), nullptr},
      };
   };
   Status::Info info = Status::CollectStatus(s);
   const auto *one = Find(info, "one");
   const auto *two = Find(info, "two");
   const auto *three = Find(info, "three");
   const auto *gone = Find(info, "gone");
   ASSERT_TRUE(one && two && three && gone);
   EXPECT_TRUE(one->token_held);
   EXPECT_EQ(one->token_expires, kNow + 7200);
   EXPECT_EQ(one->token_refresh, kNow + 7200 - Zarna::kTokenRefreshLeadSec);
   EXPECT_EQ(two->token_refresh, kNow);
   EXPECT_TRUE(three->token_held);
   EXPECT_FALSE(three->token_expires);
   EXPECT_FALSE(three->token_refresh);
   // A token whose services were deleted is still reported until dropped.
   EXPECT_EQ(gone->token_refresh, kNow - 10);
}

// A firewall that cannot be read and a lost kernel channel are reported, not
// fatal to the report.
TEST(AgentStatus, UnreadableFirewallIsReported)
{
   Status::StatusSources s = Sources();
   s.firewall = [] {
      Status::FirewallSnapshot f;
      f.backend = "nftables";
      f.error = "nft: permission denied";
      return f;
   };
   s.kernelChannelRegistered = [] { return false; };
   Status::Info info = Status::CollectStatus(s);
   ASSERT_TRUE(info.firewall && info.firewall->error);
   EXPECT_EQ(*info.firewall->error, "nft: permission denied");
   EXPECT_FALSE(info.kernel_channel_registered) << "a lost channel is not reported as fine";
}

} // namespace
