#include "tools/zarnactl/status_command.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

namespace Status = Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc;

// "status" is taken only as the noun, never as another command's argument
// (a group or service may well be called "status").
TEST(StatusCommand, RecognisedOnlyAsTheNoun)
{
   EXPECT_TRUE(Zarnactl::IsStatusCommand({"status"}));
   EXPECT_TRUE(Zarnactl::IsStatusCommand({"--tcp", "127.0.0.1:7", "--json", "status"}));
   EXPECT_TRUE(Zarnactl::IsStatusCommand({"--token-key", "status", "status"}));
   EXPECT_FALSE(Zarnactl::IsStatusCommand({"--tcp", "status", "attestation-services", "list"}));
   EXPECT_FALSE(Zarnactl::IsStatusCommand({"attestation-services", "list", "--group", "status"}));
   EXPECT_FALSE(Zarnactl::IsStatusCommand({}));

   std::ostringstream out, err;
   Zarnactl::ConnectFn never = [](boost::asio::io_context &, const Zarnactl::Endpoint &) {
      ADD_FAILURE() << "no connection expected";
      return Ruvo::Core::AsyncApiProviderPtr();
   };
   EXPECT_EQ(Zarnactl::RunStatusCommand({"--socket", "/run/x.sock", "status"}, out, err, never),
             Zarnactl::kExitUsage);
   EXPECT_EQ(Zarnactl::RunStatusCommand({"status", "extra"}, out, err, never),
             Zarnactl::kExitUsage);
   EXPECT_EQ(Zarnactl::RunStatusCommand({"--tcp", "[::1", "status"}, out, err, never),
             Zarnactl::kExitUsage);
}

// What needs the operator's attention stands out, and text from the agent is
// never written raw to the terminal.
TEST(StatusCommand, ScreenFlagsProblemsAndEscapesPeerText)
{
   Status::Info info;
   info.version = "7.0.0";
   info.uptime_seconds = 90061; // 1d 01:01:01
   info.kernel_channel_registered = false;
   auto firewall = std::make_shared<Status::Firewall>();
   firewall->backend = "nftables";
   firewall->error = "nft failed";
   info.firewall = firewall;
   Status::GroupStatus group;
   group.group = "evil\x1b[2J";
   group.last_attestation = Status::Attestation{false, 0};
   info.groups.push_back(group);

   std::ostringstream out;
   Zarnactl::WriteStatusScreen(out, info);
   const std::string screen = out.str();
   EXPECT_NE(screen.find("up 1d 01:01:01"), std::string::npos) << screen;
   EXPECT_NE(screen.find("kernel channel    NOT registered"), std::string::npos) << screen;
   EXPECT_NE(screen.find("cannot be read: nft failed"), std::string::npos) << screen;
   EXPECT_NE(screen.find("last attestation FAILED at 1970-01-01 00:00:00Z"), std::string::npos)
       << screen;
   EXPECT_NE(screen.find("token           none"), std::string::npos) << screen;
   EXPECT_EQ(screen.find('\x1b'), std::string::npos) << screen;
}

} // namespace
