#include "tools/zarnactl/human_output.h"

#include <sstream>

#include <gtest/gtest.h>

#include "runtime/ruvo/data/error_value.h"
#include "tests/fixtures/cert_factory.h"

namespace Zarnactl {
namespace {

TEST(ZarnactlHumanOutput, AgentTextCannotDriveTheTerminal)
{
   EXPECT_EQ(Printable("plain ÄÖ € 𝄞"), "plain ÄÖ € 𝄞");
   EXPECT_EQ(Printable("a\x1b[2Jb\n\x7f"), "a\\x1b[2Jb\\x0a\\x7f");
   EXPECT_EQ(Printable("\xc2\x9b"
                       "31m"),
             "\\xc2\\x9b31m")
       << "C1 CSI";
   EXPECT_EQ(Printable("\xff\xc0\xaf\xed\xa0\x80"), "\\xff\\xc0\\xaf\\xed\\xa0\\x80");
   EXPECT_EQ(Printable("\xe2\x82"), "\\xe2\\x82") << "truncated sequence";

   std::ostringstream out;
   WriteServiceTable(out, {{"id\x1b", "h", 1, "g"}});
   EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
   std::ostringstream empty;
   WriteServiceTable(empty, {});
   EXPECT_EQ(empty.str(), "No services.\n");
}

TEST(ZarnactlHumanOutput, DetailNamesSubjectIssuerAndExpiryOrSaysUnreadable)
{
   std::ostringstream unreadable;
   WriteServiceDetail(unreadable, {"kms.example", std::nullopt, "blue", {"not a pem"}});
   EXPECT_EQ(unreadable.str(), "Host:   kms.example\n"
                               "Port:   443 (default)\n"
                               "Group:  blue\n"
                               "Trusted CA chain: 1 certificate (root first)\n"
                               "  1. (not a readable certificate)\n");

   auto pki = ZarnaTesting::TestPki::Make("attestd.test");
   std::ostringstream out;
   WriteServiceDetail(out,
                      {"attestd.test", 8443, "blue", {pki.root.Pem(), pki.intermediate.Pem()}});
   std::string text = out.str();
   EXPECT_NE(text.find("Port:   8443\n"), std::string::npos) << text;
   EXPECT_NE(text.find("Trusted CA chain: 2 certificates (root first)\n"), std::string::npos)
       << text;
   EXPECT_NE(text.find("  1. subject:   "), std::string::npos) << text;
   EXPECT_NE(text.find("  2. subject:   "), std::string::npos) << text;
   EXPECT_NE(text.find("not after: "), std::string::npos) << text;
   EXPECT_EQ(text.find("not a readable"), std::string::npos) << text;
}

TEST(ZarnactlHumanOutput, ErrorShowsEveryRenderedMessage)
{
   auto error = Ruvo::Data::StdErrors::Make(
       Ruvo::Data::StdErrors::kError,
       {Ruvo::BaseMessage("com.talvor.brim.trusted_infrastructure.services.cannot_communicate",
                          "Unable to communciate with Veritor services."),
        Ruvo::BaseMessage("remote.id", "Remote said \x1b no")});
   std::ostringstream err;
   WriteErrorMessages(err, *error);
   EXPECT_EQ(err.str(), "zarnactl: Unable to communciate with Veritor services.\n"
                        "zarnactl: Remote said \\x1b no\n");

   std::ostringstream bare;
   WriteErrorMessages(bare, Ruvo::Data::ErrorValue("com.talvor.ruvo.std.errors.unauthenticated"));
   EXPECT_EQ(bare.str(),
             "zarnactl: the agent reported an error (unauthenticated) without a message\n");
}

} // namespace
} // namespace Zarnactl
