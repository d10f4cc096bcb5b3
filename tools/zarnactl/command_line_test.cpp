#include "tools/zarnactl/command_line.h"

#include <sstream>

#include <gtest/gtest.h>

namespace Zarnactl {
namespace {

struct Parsed {
   ParseOutcome outcome;
   Invocation inv;
   std::string out;
   std::string err;
};

Parsed Parse(std::vector<std::string> args)
{
   Parsed p;
   std::ostringstream out;
   std::ostringstream err;
   p.outcome = ParseCommandLine(args, p.inv, out, err);
   p.out = out.str();
   p.err = err.str();
   return p;
}

TEST(ZarnactlCommandLine, DefaultsToLoopbackTcpAndTables)
{
   Parsed p = Parse({"attestation-services", "list"});
   ASSERT_TRUE(p.outcome.run) << p.err;
   EXPECT_FALSE(p.inv.endpoint.unixSocket);
   EXPECT_EQ(p.inv.endpoint.host, "127.0.0.1");
   EXPECT_EQ(p.inv.endpoint.port, 7890);
   EXPECT_FALSE(p.inv.json);
   EXPECT_EQ(p.inv.kind, ServiceKind::Attestation);
   EXPECT_EQ(p.inv.verb, Verb::List);
   EXPECT_FALSE(p.inv.filter.has_value()) << "no criterion means no filter at all";
}

TEST(ZarnactlCommandLine, EndpointForms)
{
   Parsed v6 = Parse({"--tcp", "[::1]:7999", "key-provider-services", "list"});
   ASSERT_TRUE(v6.outcome.run) << v6.err;
   EXPECT_EQ(v6.inv.endpoint.host, "::1");
   EXPECT_EQ(v6.inv.endpoint.port, 7999);
   EXPECT_EQ(v6.inv.kind, ServiceKind::KeyProvider);

   Parsed sock =
       Parse({"--socket", "/run/zarna/api.sock", "--json", "attestation-services", "get", "x"});
   ASSERT_TRUE(sock.outcome.run) << sock.err;
   EXPECT_TRUE(sock.inv.endpoint.unixSocket);
   EXPECT_EQ(sock.inv.endpoint.path, "/run/zarna/api.sock");
   EXPECT_TRUE(sock.inv.json);

   // Global options are also taken after the verb.
   Parsed late = Parse({"attestation-services", "delete", "abc", "--json"});
   ASSERT_TRUE(late.outcome.run) << late.err;
   EXPECT_TRUE(late.inv.json);
   EXPECT_EQ(late.inv.verb, Verb::Delete);
   EXPECT_EQ(late.inv.service, "abc");

   for (const char *bad :
        {"[::1:7890", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:x", ":7890", "[::1]x"}) {
      Parsed p = Parse({"--tcp", bad, "attestation-services", "list"});
      EXPECT_FALSE(p.outcome.run) << bad;
      EXPECT_EQ(p.outcome.exitCode, kExitUsage) << bad;
      EXPECT_NE(p.err.find("--tcp"), std::string::npos) << p.err;
   }
   Parsed both = Parse({"--tcp", "127.0.0.1:1", "--socket", "/s", "attestation-services", "list"});
   EXPECT_EQ(both.outcome.exitCode, kExitUsage);
}

// Which members a filter carries is checked on the wire by the app tests; these
// are the host texts an administrator may type.
TEST(ZarnactlCommandLine, HostFormsInAListFilter)
{
   const struct {
      const char *arg;
      const char *host;
      std::optional<int64_t> port; // absent: left to the agent (443)
   } forms[] = {{"a.example", "a.example", std::nullopt},
                {"[fe80::1]:8443", "fe80::1", 8443},
                {"10.0.0.1:444", "10.0.0.1", 444},
                {"::1", "::1", std::nullopt}};
   for (const auto &f : forms) {
      Parsed p = Parse({"attestation-services", "list", "--host", f.arg, "--group", "g"});
      ASSERT_TRUE(p.outcome.run) << p.err;
      ASSERT_EQ(p.inv.filter->addresses->size(), 1u);
      EXPECT_EQ(p.inv.filter->addresses->at(0).host, f.host);
      EXPECT_EQ(p.inv.filter->addresses->at(0).port, f.port) << f.arg;
   }
   Parsed groups = Parse({"attestation-services", "list", "--group", "g1", "--group", "g2"});
   EXPECT_EQ(groups.inv.filter->groups, (std::vector<std::string>{"g1", "g2"}));
   EXPECT_EQ(Parse({"attestation-services", "list", "--host", "h:99999"}).outcome.exitCode,
             kExitUsage);
}

TEST(ZarnactlCommandLine, CreateArguments)
{
   Parsed p = Parse({"attestation-services", "create", "--host", "[2001:db8::5]", "--port", "8443",
                     "--group", "blue", "--ca-file", "root.pem", "--ca-file", "inter.pem"});
   ASSERT_TRUE(p.outcome.run) << p.err;
   EXPECT_EQ(p.inv.create.host, "2001:db8::5");
   EXPECT_EQ(p.inv.create.port, 8443);
   EXPECT_EQ(p.inv.create.caFiles, (std::vector<std::string>{"root.pem", "inter.pem"}));

   const std::vector<std::vector<std::string>> usage = {
       {"attestation-services", "create", "--host", "h", "--port", "65536", "--group", "g",
        "--ca-file", "c"},
       {"attestation-services", "create", "--host", "h", "--port", "-1", "--group", "g",
        "--ca-file", "c"},
       {"attestation-services", "create", "--host", "h", "--port", "", "--group", "g", "--ca-file",
        "c"},
       {"attestation-services", "create", "--host", "h:443", "--group", "g", "--ca-file", "c"},
       {"attestation-services", "create", "--host", "h", "--group", "g"},    // no CA file
       {"attestation-services", "create", "--group", "g", "--ca-file", "c"}, // no host
   };
   for (const auto &args : usage) {
      Parsed bad = Parse(args);
      EXPECT_FALSE(bad.outcome.run);
      EXPECT_EQ(bad.outcome.exitCode, kExitUsage) << bad.err;
      EXPECT_FALSE(bad.err.empty());
   }
}

TEST(ZarnactlCommandLine, UsageErrorsAndHelp)
{
   for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
            {},
            {"attestation-services"},
            {"attestation-services", "get"},
            {"attestation-services", "frobnicate"},
            {"widgets", "list"},
            {"attestation-services", "list", "--bogus"},
            {"attestation-services", "list", "--group", "a", "b"},
            {"attestation-services", "get", "a", "b"},
        }) {
      Parsed p = Parse(args);
      EXPECT_FALSE(p.outcome.run);
      EXPECT_EQ(p.outcome.exitCode, kExitUsage);
   }
   Parsed help = Parse({"--help"});
   EXPECT_FALSE(help.outcome.run);
   EXPECT_EQ(help.outcome.exitCode, kExitOk);
   EXPECT_NE(help.out.find("attestation-services"), std::string::npos);
   EXPECT_NE(help.out.find("key-provider-services"), std::string::npos);
}

} // namespace
} // namespace Zarnactl
