// attestd's own rules: session lifetime and capacity, the command line, the PCR
// policy file.
#include <gtest/gtest.h>

#include "peers/attestd/evidence.h"
#include "peers/attestd/options.h"
#include "peers/attestd/sessions.h"

namespace {

using namespace std::chrono_literals;

TEST(AttestdSessionsTest, SessionsExpireAreTakenOnceAndAreCapped)
{
   auto now = std::chrono::steady_clock::time_point(100s);
   Attestd::SessionStore store(60s, 2, [&] { return now; });
   auto first = store.Open();
   ASSERT_NE(first, nullptr);
   const auto id = first->id;
   store.Put(std::move(first));
   auto second = store.Open();
   EXPECT_NE(second->id, id);
   store.Put(std::move(second));
   EXPECT_EQ(store.Open(), nullptr) << "full";

   auto taken = store.Take(id);
   ASSERT_NE(taken, nullptr);
   EXPECT_EQ(store.Take(id), nullptr) << "a session is taken once";
   store.Put(std::move(taken));
   // Putting back does not extend the life set at the start.
   now += 59s;
   EXPECT_NE(store.Take(id), nullptr);
   EXPECT_EQ(store.Size(), 1u);
   now += 1s;
   // The other session has expired: it is dropped, which makes room.
   EXPECT_NE(store.Open(), nullptr);
   EXPECT_EQ(store.Size(), 0u);
}

TEST(AttestdOptionsTest, CommandLineAndPolicyFile)
{
   Attestd::Options options;
   std::string error;
   const std::vector<std::string> base = {"--listen", "[::1]:8443", "--cert",        "c",
                                          "--key",    "k",          "--signing-key", "s"};
   auto with = [&](std::vector<std::string> extra) {
      std::vector<std::string> args = base;
      args.insert(args.end(), extra.begin(), extra.end());
      options = Attestd::Options{};
      error.clear();
      return Attestd::ParseOptions(args, options, error);
   };
   EXPECT_FALSE(with({})) << "an EK trust source is required";
   ASSERT_TRUE(with({"--ek-allow", std::string(64, 'a'), "--pcrs", "0-3,7", "--grant", "p",
                     "--grant", "*", "--fault", "delay:250"}))
       << error;
   EXPECT_EQ(options.host, "::1");
   EXPECT_EQ(options.port, 8443);
   EXPECT_EQ(options.service.pcrs, (std::set<unsigned>{0, 1, 2, 3, 7}));
   EXPECT_EQ(options.service.grants, (std::vector<std::string>{"p", "*"}));
   EXPECT_EQ(options.service.fault.delay, 250ms);
   for (const auto &bad : std::vector<std::vector<std::string>>{{"--pcrs", "3-1"},
                                                                {"--pcrs", "24"},
                                                                {"--pcrs", ""},
                                                                {"--token-lifetime", "0"},
                                                                {"--fault", "sometimes"},
                                                                {"--fault", "delay:x"},
                                                                {"--ek-ca"}}) {
      std::vector<std::string> args = bad;
      args.insert(args.begin(), {"--ek-ca", "f"});
      EXPECT_FALSE(with(args)) << bad[0];
   }

   std::map<unsigned, std::vector<uint8_t>> policy;
   EXPECT_TRUE(Attestd::ParsePcrPolicy("# comment\n\n7 " + std::string(64, 'A') + "  # boot\n",
                                       policy, error));
   EXPECT_EQ(policy.at(7), std::vector<uint8_t>(32, 0xaa));
   for (const std::string &bad :
        {"24 " + std::string(64, '0'), "1 " + std::string(62, '0'), "1 " + std::string(64, 'g'),
         "x " + std::string(64, '0'), "1 " + std::string(64, '0') + " extra"}) {
      EXPECT_FALSE(Attestd::ParsePcrPolicy(bad, policy, error)) << bad;
   }
   std::map<unsigned, std::vector<uint8_t>> quoted = {{7, std::vector<uint8_t>(32, 0xaa)}};
   EXPECT_TRUE(Attestd::CheckPcrPolicy(policy, quoted, error));
   quoted[7][0] = 0;
   EXPECT_FALSE(Attestd::CheckPcrPolicy(policy, quoted, error));
   EXPECT_FALSE(Attestd::CheckPcrPolicy(policy, {}, error)) << "a policy PCR that is not quoted";
}

} // namespace
