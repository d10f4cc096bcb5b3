#include "runtime/hostctl/nftables_backend.h"

#include <deque>

#include <gtest/gtest.h>

#include "runtime/hostctl/agent_traffic.h"
#include "runtime/hostctl/host_ctl_exception.h"

namespace HykCtl::System {
namespace {

using HostCtl::Lib::CommandResult;
using HostCtl::Lib::HostCtlException;
using nlohmann::json;

class FakeRunner : public HostCtl::Lib::CommandRunner {
public:
   CommandResult Run(const std::vector<std::string> &argv, const std::string &input) override
   {
      calls.push_back({argv, json::parse(input)});
      if (results.empty()) {
         return CommandResult{0, "", ""};
      }
      CommandResult result = results.front();
      results.pop_front();
      return result;
   }

   struct Call {
      std::vector<std::string> argv;
      json input;
   };
   std::vector<Call> calls;
   std::deque<CommandResult> results;
};

// What nft 1.0.6 prints for an enabled, confining ruleset with two addresses.
const char *kEnabledListing = R"({"nftables": [{"metainfo": {"version": "1.0.6", "json_schema_version": 1}},
 {"table": {"family": "inet", "name": "trusted-infrastructure-zarna", "handle": 1}},
 {"set": {"family": "inet", "name": "allowed-ipv4", "table": "trusted-infrastructure-zarna", "type": "ipv4_addr", "handle": 1, "elem": ["10.0.0.1", "10.0.0.2"]}},
 {"set": {"family": "inet", "name": "allowed-ipv6", "table": "trusted-infrastructure-zarna", "type": "ipv6_addr", "handle": 2, "elem": [{"elem": {"val": "2001:db8::1", "counter": {"packets": 0, "bytes": 0}}}, {"prefix": {"addr": "2001:db8::", "len": 64}}]}},
 {"chain": {"family": "inet", "table": "trusted-infrastructure-zarna", "name": "confine", "handle": 3}},
 {"chain": {"family": "inet", "table": "trusted-infrastructure-zarna", "name": "output", "handle": 8, "type": "filter", "hook": "output", "prio": 0, "policy": "accept"}},
 {"rule": {"family": "inet", "table": "trusted-infrastructure-zarna", "chain": "confine", "handle": 5, "expr": [{"match": {"op": "==", "left": {"meta": {"key": "oifname"}}, "right": "lo"}}, {"accept": null}]}},
 {"rule": {"family": "inet", "table": "trusted-infrastructure-zarna", "chain": "confine", "handle": 7, "comment": "confine", "expr": [{"counter": {"packets": 0, "bytes": 0}}, {"reject": {"type": "icmpx", "expr": "admin-prohibited"}}]}},
 {"rule": {"family": "inet", "table": "trusted-infrastructure-zarna", "chain": "output", "handle": 9, "expr": [{"match": {"op": "==", "left": {"meta": {"key": "mark"}}, "right": 1515343425}}, {"jump": {"target": "confine"}}]}},
 {"rule": {"family": "inet", "table": "other", "chain": "confine", "handle": 9, "comment": "allow-all", "expr": [{"accept": null}]}}]})";

TEST(NftablesBackendTest, ReadsRulesetStateFromListings)
{
   RulesetState state = NftablesBackend::ParseListing("trusted-infrastructure-zarna", json::parse(kEnabledListing));
   EXPECT_TRUE(state.exists);
   EXPECT_TRUE(state.enabled);
   EXPECT_FALSE(state.allowedAll) << "another table's rule does not count";
   ASSERT_EQ(state.ipv4.size(), 2u);
   EXPECT_EQ(state.ipv4[1].ToString(), "10.0.0.2");
   ASSERT_EQ(state.ipv6.size(), 1u) << "a prefix is not an allowed address";
   EXPECT_EQ(state.ipv6[0].ToString(), "2001:db8::1");

   // A jump with another mark, or a confinement chain that lost its final
   // rule, is reported as what it is: not enabled, not confining.
   std::string tampered = kEnabledListing;
   tampered.replace(tampered.find("1515343425"), 10, "1");
   tampered.replace(tampered.find("\"comment\": \"confine\""), 20, "\"comment\": \"other\"");
   state = NftablesBackend::ParseListing("trusted-infrastructure-zarna", json::parse(tampered));
   EXPECT_TRUE(state.exists);
   EXPECT_FALSE(state.enabled);
   EXPECT_TRUE(state.allowedAll);

   EXPECT_FALSE(NftablesBackend::ParseListing("other", json::parse(kEnabledListing)).exists);
   EXPECT_FALSE(NftablesBackend::ParseListing("x", json::parse("[1, {\"nftables\": 3}]")).exists);
}

TEST(NftablesBackendTest, EachChangeIsOneFixedCommandWithOneExactElement)
{
   auto runner = std::make_shared<FakeRunner>();
   NftablesBackend backend(runner, "/usr/sbin/nft");
   backend.AddAddress("rs", HostCtl::Network::ParseIpAddress("2001:DB8::0:1"));
   backend.RemoveAddress("rs", HostCtl::Network::ParseIpAddress("192.0.2.1"));
   ASSERT_EQ(runner->calls.size(), 2u);
   EXPECT_EQ(runner->calls[0].argv, (std::vector<std::string>{"/usr/sbin/nft", "-j", "-f", "-"}));
   EXPECT_EQ(runner->calls[0].input,
             json::parse(R"({"nftables":[{"add":{"element":{"family":"inet","table":"rs","name":"allowed-ipv6","elem":["2001:db8::1"]}}}]})"));
   EXPECT_EQ(runner->calls[1].input,
             json::parse(R"({"nftables":[{"delete":{"element":{"family":"inet","table":"rs","name":"allowed-ipv4","elem":["192.0.2.1"]}}}]})"));

   backend.SetEnabled("rs", true);
   const json &enable = runner->calls.back().input["nftables"];
   ASSERT_EQ(enable.size(), 3u) << "create-or-flush, then the one jump rule";
   EXPECT_EQ(enable[2]["add"]["rule"]["expr"][0]["match"]["right"], HostCtl::Network::kAgentSocketMark);
   backend.SetEnabled("rs", false);
   EXPECT_TRUE(runner->calls.back().input["nftables"].back().contains("delete"));
   EXPECT_EQ(runner->calls.size(), 4u);
}

TEST(NftablesBackendTest, FailuresCarryTheToolsReason)
{
   auto runner = std::make_shared<FakeRunner>();
   NftablesBackend backend(runner, "/usr/sbin/nft");
   runner->results.push_back({1, "", "Error: Could not process rule: No such file or directory\n"});
   try {
      backend.RemoveAddress("rs", HostCtl::Network::ParseIpAddress("192.0.2.1"));
      FAIL();
   } catch (const HostCtlException &e) {
      EXPECT_EQ(e.GetDetailedMessage(),
                "nftables could not remove 192.0.2.1 from ruleset rs: Error: Could not process rule: No such "
                "file or directory");
   }

   // A failed listing is "no ruleset" only when the table is really absent.
   runner->results.push_back({1, "", "Error: No such file or directory"});
   runner->results.push_back({0, R"({"nftables":[{"table":{"family":"inet","name":"else"}}]})", ""});
   EXPECT_FALSE(backend.QueryRuleset("rs").exists);
   runner->results.push_back({1, "", "Error: out of memory"});
   runner->results.push_back({0, R"({"nftables":[{"table":{"family":"inet","name":"rs"}}]})", ""});
   runner->results.push_back({1, "", "Error: out of memory"});
   EXPECT_THROW(backend.QueryRuleset("rs"), HostCtlException);
   runner->results.push_back({0, "not json", ""});
   EXPECT_THROW(backend.QueryRuleset("rs"), HostCtlException);
}

} // namespace
} // namespace HykCtl::System
