// The keylocator commands: what make prints, show reads back, and refusals.
#include "tools/zarnactl/keylocator_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

namespace {

struct Outcome {
   int code;
   std::string out;
   std::string err;
};

Outcome RunCommand(std::vector<std::string> args)
{
   std::ostringstream out, err;
   EXPECT_TRUE(Zarnactl::IsKeyLocatorCommand(args));
   int code = Zarnactl::RunKeyLocatorCommand(args, out, err);
   return {code, out.str(), err.str()};
}

TEST(KeyLocatorCommand, MakeThenShowGivesBackProviderAndKeyId)
{
   const std::string keyId = "v1:Zm9v+YmFy/==";
   Outcome made = RunCommand({"keylocator", "make", "--provider", "acme", "--key-id", keyId});
   ASSERT_EQ(made.code, 0) << made.err;
   ASSERT_FALSE(made.out.empty());
   const std::string text = made.out.substr(0, made.out.size() - 1);
   EXPECT_EQ(text, "keyloc:1:indirect:acme:v1%3AZm9v%2BYmFy%2F%3D%3D");

   Outcome shown = RunCommand({"--json", "keylocator", "show", text});
   ASSERT_EQ(shown.code, 0) << shown.err;
   auto doc = nlohmann::json::parse(shown.out);
   EXPECT_EQ(doc["form"], "indirect");
   EXPECT_EQ(doc["provider"], "acme");
   EXPECT_EQ(doc["keyId"], keyId);
   EXPECT_EQ(doc["keyIdDigest"].get<std::string>().size(), 64u);

   Outcome human = RunCommand({"keylocator", "show", text});
   EXPECT_NE(human.out.find("key-id: " + keyId + "\n"), std::string::npos) << human.out;

   Outcome direct = RunCommand({"keylocator", "make", "--direct", "disk 7", "--json"});
   ASSERT_EQ(direct.code, 0);
   EXPECT_EQ(nlohmann::json::parse(direct.out)["locator"], "keyloc:1:direct:disk%207");
   Outcome directShown = RunCommand({"--json", "keylocator", "show", "keyloc:1:direct:disk%207"});
   ASSERT_EQ(directShown.code, 0) << directShown.err;
   EXPECT_EQ(nlohmann::json::parse(directShown.out),
             nlohmann::json::parse(R"({"form":"direct","keyName":"disk 7"})"));
}

TEST(KeyLocatorCommand, RefusalsAreUsageErrorsWithTheReason)
{
   Outcome bad = RunCommand({"keylocator", "show", "keyloc:7:indirect:a:b"});
   EXPECT_EQ(bad.code, 2);
   EXPECT_EQ(bad.err, "zarnactl: not a key locator: unsupported key locator version\n");
   EXPECT_TRUE(bad.out.empty());

   Outcome tooLong =
       RunCommand({"keylocator", "make", "--provider", "p", "--key-id", std::string(4000, '/')});
   EXPECT_EQ(tooLong.code, 2);
   EXPECT_NE(tooLong.err.find("key locator too long"), std::string::npos);

   EXPECT_EQ(RunCommand({"keylocator", "make", "--provider", "p"}).code, 2);
   EXPECT_EQ(RunCommand({"keylocator", "make"}).code, 2);
   EXPECT_EQ(
       RunCommand({"keylocator", "make", "--provider", "p", "--key-id", "k", "--direct", "d"}).code,
       2);
   EXPECT_EQ(RunCommand({"keylocator", "make", "--provider", "p", "--key-id", "line\nbreak"}).code,
             2);
   EXPECT_FALSE(Zarnactl::IsKeyLocatorCommand({"attestation-services", "list"}));
}

} // namespace
