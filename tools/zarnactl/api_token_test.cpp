// The tokens zarnactl attaches: signed with the named key, holding exactly the
// privileges asked for, and naming only privileges the agent's metadata declares.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "runtime/authn/token_handler.h"
#include "tools/zarnactl/api_token.h"

namespace Zarnactl {
namespace {

TEST(ApiToken, PrivilegesAreTheOnesTheAgentDeclares)
{
   const char *dir = std::getenv("ZARNA_SOURCE_DIR");
   ASSERT_NE(dir, nullptr);
   std::ifstream in(std::string(dir) + "/api/zarn_ruvo_agent_metadata.json");
   auto doc = nlohmann::json::parse(in, nullptr, false);
   ASSERT_TRUE(doc.is_object());
   std::set<std::string> declared;
   for (const auto &p : doc["authorization"]["privileges"]) {
      declared.insert(p.value("id", ""));
   }
   auto ours = AllPrivileges();
   EXPECT_EQ(std::set<std::string>(ours.begin(), ours.end()), declared);
}

TEST(ApiToken, SignedWithTheKeyAndOnlyTheAskedPrivileges)
{
   auto dir =
       std::filesystem::temp_directory_path() / ("zarnactl-token-" + std::to_string(getpid()));
   std::filesystem::create_directories(dir);
   std::string keyFile = (dir / "api.key").string();
   std::string error;
   ASSERT_TRUE(Brim::Authn::GenerateEs256KeyFiles(keyFile, error)) << error;

   Ruvo::Core::ExecutionContext context;
   ASSERT_TRUE(AttachApiToken({keyFile, true}, {kServicesManage}, context, error)) << error;
   auto handler = Brim::Authn::TokenHandler::FromKeyFile(keyFile + ".pub", nullptr, error);
   ASSERT_TRUE(handler) << error;
   auto outcome = handler->Check(context.GetSecurityContext());
   ASSERT_FALSE(outcome.error) << outcome.error->ToString();
   EXPECT_EQ(outcome.result->privileges, std::vector<std::string>{kServicesManage});

   // A named key must load; a missing default key sends the call without a token.
   Ruvo::Core::ExecutionContext other;
   EXPECT_FALSE(
       AttachApiToken({(dir / "absent.key").string(), true}, {kServicesRead}, other, error));
   EXPECT_FALSE(AttachApiToken({keyFile + ".pub", true}, {kServicesRead}, other, error))
       << "public key";
   EXPECT_TRUE(
       AttachApiToken({(dir / "absent.key").string(), false}, {kServicesRead}, other, error));
   EXPECT_TRUE(other.GetSecurityContext().Empty());
   std::filesystem::remove_all(dir);
}

} // namespace
} // namespace Zarnactl
