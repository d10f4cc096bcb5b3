#include "runtime/hostctl/nftables_backend.h"

#include <unistd.h>

#include <set>

#include "runtime/hostctl/agent_traffic.h"
#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostctl/json_input.h"

namespace HykCtl::System {

using HostCtl::Lib::HostCtlException;
using nlohmann::json;

namespace {

constexpr const char *kFamily = "inet";
constexpr const char *kSetV4 = "allowed-ipv4";
constexpr const char *kSetV6 = "allowed-ipv6";
constexpr const char *kConfineChain = "confine";
constexpr const char *kOutputChain = "output";
constexpr const char *kAllowAllComment = "allow-all";
constexpr const char *kConfineComment = "confine";

std::string FindNft()
{
   for (const char *candidate : {"/usr/sbin/nft", "/sbin/nft", "/usr/bin/nft", "/bin/nft"}) {
      if (access(candidate, X_OK) == 0) {
         return candidate;
      }
   }
   return "/usr/sbin/nft";
}

json Table(const std::string &id)
{
   return {{"table", {{"family", kFamily}, {"name", id}}}};
}

json Set(const std::string &id, const char *name, const char *type)
{
   return {{"set", {{"family", kFamily}, {"table", id}, {"name", name}, {"type", type}}}};
}

json Chain(const std::string &id, const char *name)
{
   return {{"chain", {{"family", kFamily}, {"table", id}, {"name", name}}}};
}

json OutputChain(const std::string &id)
{
   json chain = Chain(id, kOutputChain);
   chain["chain"]["type"] = "filter";
   chain["chain"]["hook"] = "output";
   chain["chain"]["prio"] = 0;
   chain["chain"]["policy"] = "accept";
   return chain;
}

json Rule(const std::string &id, const char *chain, json expr, const char *comment = nullptr)
{
   json rule = {{"family", kFamily}, {"table", id}, {"chain", chain}, {"expr", std::move(expr)}};
   if (comment != nullptr) {
      rule["comment"] = comment;
   }
   return {{"rule", std::move(rule)}};
}

json Match(json left, json right)
{
   return {{"match", {{"op", "=="}, {"left", std::move(left)}, {"right", std::move(right)}}}};
}

json Accept()
{
   return {{"accept", nullptr}};
}

json Add(json object)
{
   return {{"add", std::move(object)}};
}

// Rewrites the confinement chain in the same transaction as whatever else.
void AppendConfineRules(json &commands, const std::string &id, bool allowedAll)
{
   commands.push_back(Add(Chain(id, kConfineChain)));
   commands.push_back({{"flush", Chain(id, kConfineChain)}});
   commands.push_back(Add(Rule(id, kConfineChain,
                               json::array({Match({{"meta", {{"key", "oifname"}}}}, "lo"), Accept()}))));
   if (allowedAll) {
      commands.push_back(Add(Rule(id, kConfineChain, json::array({Accept()}), kAllowAllComment)));
   }
   commands.push_back(Add(Rule(
      id, kConfineChain,
      json::array({Match({{"payload", {{"protocol", "ip"}, {"field", "daddr"}}}}, std::string("@") + kSetV4),
                   Accept()}))));
   commands.push_back(Add(Rule(
      id, kConfineChain,
      json::array({Match({{"payload", {{"protocol", "ip6"}, {"field", "daddr"}}}}, std::string("@") + kSetV6),
                   Accept()}))));
   commands.push_back(Add(Rule(id, kConfineChain,
                               json::array({{{"counter", nullptr}},
                                            {{"reject", {{"type", "icmpx"}, {"expr", "admin-prohibited"}}}}}),
                               kConfineComment)));
}

json Element(const std::string &id, const HostCtl::Network::IpAddress &address)
{
   const char *set = std::holds_alternative<HostCtl::Network::Ipv4Address>(address) ? kSetV4 : kSetV6;
   return {{"element",
            {{"family", kFamily}, {"table", id}, {"name", set},
             {"elem", json::array({HostCtl::Network::ToString(address)})}}}};
}

// The elements of one set, for one add or delete command.
json Elements(const std::string &id, const char *set, const std::vector<std::string> &texts)
{
   return {{"element", {{"family", kFamily}, {"table", id}, {"name", set}, {"elem", texts}}}};
}

json Transaction(json commands)
{
   return {{"nftables", std::move(commands)}};
}

const json *Member(const json &object, const char *key)
{
   if (!object.is_object()) {
      return nullptr;
   }
   auto it = object.find(key);
   return it == object.end() ? nullptr : &*it;
}

std::string TextMember(const json &object, const char *key)
{
   const json *member = Member(object, key);
   return member != nullptr && member->is_string() ? member->get<std::string>() : std::string();
}

// Elements print as plain texts; decorated forms ({"elem": {"val": ...}}) are
// read too. Anything else (prefixes, ranges) is not an allowed address.
template <typename Address>
void ReadElements(const json &set, std::vector<Address> &out)
{
   const json *elements = Member(set, "elem");
   if (elements == nullptr) {
      return;
   }
   json list = elements->is_array() ? *elements : json::array({*elements});
   for (const json &element : list) {
      std::string text;
      if (element.is_string()) {
         text = element.get<std::string>();
      } else if (const json *inner = Member(element, "elem")) {
         text = TextMember(*inner, "val");
      }
      if (Address::IsValidAddress(text)) {
         out.emplace_back(text);
      }
   }
}

bool ExprHas(const json &rule, const char *verdict)
{
   const json *expr = Member(rule, "expr");
   if (expr == nullptr || !expr->is_array()) {
      return false;
   }
   for (const json &statement : *expr) {
      if (Member(statement, verdict) != nullptr) {
         return true;
      }
   }
   return false;
}

bool IsAgentJump(const json &rule)
{
   const json *expr = Member(rule, "expr");
   if (expr == nullptr || !expr->is_array() || expr->size() != 2) {
      return false;
   }
   const json *match = Member((*expr)[0], "match");
   const json *jump = Member((*expr)[1], "jump");
   if (match == nullptr || jump == nullptr || TextMember(*jump, "target") != kConfineChain) {
      return false;
   }
   const json *left = Member(*match, "left");
   const json *meta = left != nullptr ? Member(*left, "meta") : nullptr;
   const json *right = Member(*match, "right");
   return meta != nullptr && TextMember(*meta, "key") == "mark" && TextMember(*match, "op") == "==" &&
          right != nullptr && right->is_number_unsigned() &&
          right->get<uint64_t>() == HostCtl::Network::kAgentSocketMark;
}

} // namespace

NftablesBackend::NftablesBackend()
   : NftablesBackend(std::make_shared<HostCtl::Lib::SpawnCommandRunner>(), FindNft())
{
}

NftablesBackend::NftablesBackend(std::shared_ptr<HostCtl::Lib::CommandRunner> runner, std::string nftPath)
   : mRunner(std::move(runner)), mNftPath(std::move(nftPath))
{
}

std::string NftablesBackend::RunNft(const json &commands, const std::string &what)
{
   HostCtl::Lib::CommandResult result = mRunner->Run({mNftPath, "-j", "-f", "-"}, Transaction(commands).dump());
   if (result.exitCode != 0) {
      std::string err = result.err;
      while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) {
         err.pop_back();
      }
      if (err.size() > 512) {
         err = err.substr(0, 512) + "...";
      }
      throw HostCtlException("nftables could not " + what,
                             err.empty() ? "nft exited with " + std::to_string(result.exitCode) : err);
   }
   return result.out;
}

bool NftablesBackend::TableExists(const std::string &rulesetId)
{
   std::string out = RunNft(json::array({{{"list", {{"tables", nullptr}}}}}), "list tables");
   json listing;
   if (!HostCtl::Lib::ParseJsonInput(out, listing)) {
      throw HostCtlException("nftables could not list tables", "unreadable output");
   }
   const json *items = Member(listing, "nftables");
   if (items != nullptr && items->is_array()) {
      for (const json &item : *items) {
         const json *table = Member(item, "table");
         if (table != nullptr && TextMember(*table, "family") == kFamily && TextMember(*table, "name") == rulesetId) {
            return true;
         }
      }
   }
   return false;
}

RulesetState NftablesBackend::ParseListing(const std::string &rulesetId, const json &listing)
{
   bool table = false;
   bool setV4 = false;
   bool setV6 = false;
   bool confineChain = false;
   bool outputChain = false;
   bool agentJump = false;
   bool allowAllRule = false;
   bool confineRule = false;
   RulesetState state;
   const json *items = Member(listing, "nftables");
   if (items == nullptr || !items->is_array()) {
      return state;
   }
   for (const json &item : *items) {
      const json *object = nullptr;
      if ((object = Member(item, "table")) != nullptr) {
         table = table || (TextMember(*object, "name") == rulesetId && TextMember(*object, "family") == kFamily);
         continue;
      }
      const bool ours = [&] {
         for (const char *kind : {"set", "chain", "rule"}) {
            const json *candidate = Member(item, kind);
            if (candidate != nullptr) {
               return TextMember(*candidate, "table") == rulesetId && TextMember(*candidate, "family") == kFamily;
            }
         }
         return false;
      }();
      if (!ours) {
         continue;
      }
      if ((object = Member(item, "set")) != nullptr) {
         std::string name = TextMember(*object, "name");
         std::string type = TextMember(*object, "type");
         if (name == kSetV4 && type == "ipv4_addr") {
            setV4 = true;
            ReadElements(*object, state.ipv4);
         } else if (name == kSetV6 && type == "ipv6_addr") {
            setV6 = true;
            ReadElements(*object, state.ipv6);
         }
      } else if ((object = Member(item, "chain")) != nullptr) {
         std::string name = TextMember(*object, "name");
         confineChain = confineChain || name == kConfineChain;
         outputChain = outputChain || (name == kOutputChain && TextMember(*object, "hook") == "output");
      } else if ((object = Member(item, "rule")) != nullptr) {
         std::string chain = TextMember(*object, "chain");
         std::string comment = TextMember(*object, "comment");
         if (chain == kOutputChain && IsAgentJump(*object)) {
            agentJump = true;
         } else if (chain == kConfineChain && comment == kAllowAllComment && ExprHas(*object, "accept")) {
            allowAllRule = true;
         } else if (chain == kConfineChain && comment == kConfineComment &&
                    (ExprHas(*object, "reject") || ExprHas(*object, "drop"))) {
            confineRule = true;
         }
      }
   }
   state.exists = table && setV4 && setV6 && confineChain;
   state.enabled = state.exists && outputChain && agentJump;
   // A chain that lost its final rule confines nothing, whatever the switch says.
   state.allowedAll = allowAllRule || !confineRule;
   return state;
}

RulesetState NftablesBackend::QueryRuleset(const std::string &rulesetId)
{
   json list = json::array({{{"list", Table(rulesetId)}}});
   HostCtl::Lib::CommandResult result = mRunner->Run({mNftPath, "-j", "-f", "-"}, Transaction(list).dump());
   if (result.exitCode != 0) {
      // nft reports a missing table like any other failure; ask again to tell them apart.
      if (!TableExists(rulesetId)) {
         return RulesetState{};
      }
      RunNft(list, "list ruleset " + rulesetId);
   }
   json listing;
   if (!HostCtl::Lib::ParseJsonInput(result.out, listing)) {
      throw HostCtlException("nftables could not list ruleset " + rulesetId, "unreadable output");
   }
   return ParseListing(rulesetId, listing);
}

void NftablesBackend::CreateRuleset(const std::string &rulesetId)
{
   RulesetState current = QueryRuleset(rulesetId);
   json commands = json::array();
   commands.push_back(Add(Table(rulesetId)));
   commands.push_back(Add(Set(rulesetId, kSetV4, "ipv4_addr")));
   commands.push_back(Add(Set(rulesetId, kSetV6, "ipv6_addr")));
   if (!current.exists) {
      AppendConfineRules(commands, rulesetId, false);
   }
   RunNft(commands, "create ruleset " + rulesetId);
}

void NftablesBackend::SetEnabled(const std::string &rulesetId, bool enabled)
{
   json commands = json::array();
   // Adding first makes both directions idempotent: an existing chain is
   // flushed, a missing one is created and, when disabling, deleted again.
   commands.push_back(Add(OutputChain(rulesetId)));
   commands.push_back({{"flush", Chain(rulesetId, kOutputChain)}});
   if (enabled) {
      json mark = Match({{"meta", {{"key", "mark"}}}}, HostCtl::Network::kAgentSocketMark);
      commands.push_back(Add(Rule(rulesetId, kOutputChain,
                                  json::array({mark, {{"jump", {{"target", kConfineChain}}}}}))));
   } else {
      commands.push_back({{"delete", Chain(rulesetId, kOutputChain)}});
   }
   RunNft(commands, std::string(enabled ? "enable" : "disable") + " ruleset " + rulesetId);
}

void NftablesBackend::SetAllowedAll(const std::string &rulesetId, bool allowedAll)
{
   json commands = json::array();
   AppendConfineRules(commands, rulesetId, allowedAll);
   RunNft(commands, "change ruleset " + rulesetId);
}

void NftablesBackend::AddAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address)
{
   RunNft(json::array({Add(Element(rulesetId, address))}),
          "add " + HostCtl::Network::ToString(address) + " to ruleset " + rulesetId);
}

void NftablesBackend::RemoveAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address)
{
   RunNft(json::array({{{"delete", Element(rulesetId, address)}}}),
          "remove " + HostCtl::Network::ToString(address) + " from ruleset " + rulesetId);
}

void NftablesBackend::ChangeAddresses(const std::string &rulesetId,
                                      const std::vector<HostCtl::Network::IpAddress> &add,
                                      const std::vector<HostCtl::Network::IpAddress> &remove)
{
   // Deleting an absent element fails the whole transaction, so only present
   // ones are deleted; the agent is the ruleset's only writer.
   RulesetState current = QueryRuleset(rulesetId);
   if (!current.exists) {
      throw HostCtlException("nftables could not change ruleset " + rulesetId, "the ruleset does not exist");
   }
   std::set<std::string> present;
   for (const auto &address : current.ipv4) {
      present.insert(address.ToString());
   }
   for (const auto &address : current.ipv6) {
      present.insert(address.ToString());
   }
   // Canonical texts, split by family; a set also drops repeats.
   std::set<std::string> removeV4, removeV6, addV4, addV6;
   for (const auto &address : remove) {
      std::string text = HostCtl::Network::ToString(address);
      if (present.count(text) != 0) {
         (std::holds_alternative<HostCtl::Network::Ipv4Address>(address) ? removeV4 : removeV6).insert(text);
      }
   }
   for (const auto &address : add) {
      std::string text = HostCtl::Network::ToString(address);
      if (present.count(text) == 0) {
         (std::holds_alternative<HostCtl::Network::Ipv4Address>(address) ? addV4 : addV6).insert(text);
      }
   }
   json commands = json::array();
   auto append = [&](const char *verb, const char *set, const std::set<std::string> &texts) {
      if (!texts.empty()) {
         commands.push_back({{verb, Elements(rulesetId, set, {texts.begin(), texts.end()})}});
      }
   };
   append("delete", kSetV4, removeV4);
   append("delete", kSetV6, removeV6);
   append("add", kSetV4, addV4);
   append("add", kSetV6, addV6);
   if (commands.empty()) {
      return;
   }
   RunNft(commands, "change the addresses of ruleset " + rulesetId);
}

} // namespace HykCtl::System
