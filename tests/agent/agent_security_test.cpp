// The running agent's API security: which tokens the TCP API accepts, how it
// refuses the others without leaking them, how start-up treats a missing key or
// broken metadata, and who the kernel lets reach the local socket.
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "runtime/authn/api_token.h"
#include "runtime/authn/token_minter.h"
#include "tests/agent/agent_harness.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;
using ZarnaTesting::ExitCodeOf;

const std::string kList = "com.talvor.brim.trusted_infrastructure.attestation.services.list";
const std::string kDelete = "com.talvor.brim.trusted_infrastructure.attestation.services.delete";

std::string Request(const std::string &method, const std::string &input,
                    const nlohmann::json *security)
{
   nlohmann::json context = nlohmann::json::object();
   if (security != nullptr) {
      context["security"] = *security;
   }
   nlohmann::json request = {
       {"version", "1.1"},
       {"id", "1"},
       {"method", method},
       {"params", {{"context", context}, {"input", nlohmann::json::parse(input)}}}};
   return request.dump();
}

nlohmann::json OAuth(const std::string &token)
{
   return {{"schemeId", "com.talvor.ruvo.std.security.oauth"}, {"accessToken", token}};
}

// The error name of the reply, or "result".
std::string Outcome(const ZarnaTesting::HttpReply &reply)
{
   auto body = nlohmann::json::parse(reply.body, nullptr, false);
   if (body.is_object() && body.contains("result")) {
      return "result";
   }
   if (body.is_object() && body.contains("error") && body["error"].is_object()) {
      return body["error"].value("name", "?");
   }
   return "status " + std::to_string(reply.status) + ": " + reply.body.substr(0, 200);
}

class AgentSecurity : public ::testing::Test {
protected:
   void SetUp() override
   {
      ASSERT_TRUE(h.StartEmulator());
      std::string error;
      ASSERT_TRUE(Brim::Authn::LoadEs256PrivateKey(h.TokenKeyFile(), key, error)) << error;
   }
   std::string Mint(nlohmann::json claims, nlohmann::json header = {{"alg", "ES256"}},
                    EVP_PKEY *with = nullptr)
   {
      std::string token;
      EXPECT_TRUE(Brim::Authn::SignCompactJwt(with ? with : key.get(), header, claims, token));
      return token;
   }
   nlohmann::json Claims(nlohmann::json privileges = {"Zarna.Services.Read",
                                                      "Zarna.Services.Manage"})
   {
      int64_t now = time(nullptr);
      return {{"aud", Brim::Authn::kApiTokenAudience},
              {"nbf", now},
              {"exp", now + 300},
              {"privileges", std::move(privileges)}};
   }
   std::string Call(const std::string &method, const std::string &token,
                    const std::string &scheme = "")
   {
      nlohmann::json security = OAuth(token);
      if (!scheme.empty()) {
         security["schemeId"] = scheme;
      }
      presented.push_back(token);
      std::string input = method == kDelete ? R"({"service":"no-such-service"})" : "{}";
      return Outcome(ZarnaTesting::PostJsonRaw(h.Port(), Request(method, input, &security)));
   }

   AgentHarness h;
   Brim::Authn::EcKeyPtr key;
   std::vector<std::string> presented;
};

TEST_F(AgentSecurity, TcpApiAdmitsOnlyValidTokensWithThePrivilege)
{
   h.WriteConfig("", "trivia"); // nothing of a token even at the most verbose level
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   const std::string unauthenticated = "com.talvor.ruvo.std.errors.unauthenticated";
   const std::string unauthorized = "com.talvor.ruvo.std.errors.unauthorized";

   EXPECT_EQ(Outcome(ZarnaTesting::PostJsonRaw(h.Port(), Request(kList, "{}", nullptr))),
             unauthenticated);
   EXPECT_EQ(Call(kList, Mint(Claims())), "result");

   auto claims = Claims();
   claims["exp"] = static_cast<int64_t>(time(nullptr)) - 120;
   EXPECT_EQ(Call(kList, Mint(claims)), unauthenticated) << "expired";
   claims = Claims();
   claims["nbf"] = static_cast<int64_t>(time(nullptr)) + 600;
   EXPECT_EQ(Call(kList, Mint(claims)), unauthenticated) << "not yet valid";
   claims = Claims();
   claims["aud"] = "another-api";
   EXPECT_EQ(Call(kList, Mint(claims)), unauthenticated) << "wrong audience";
   claims.erase("privileges");
   claims["aud"] = Brim::Authn::kApiTokenAudience;
   EXPECT_EQ(Call(kList, Mint(claims)), unauthenticated) << "no privileges claim";
   EXPECT_EQ(Call(kList, Mint(Claims(nlohmann::json::array()))), unauthorized)
       << "empty privileges";
   EXPECT_EQ(Call(kDelete, Mint(Claims({"Zarna.Services.Read"}))), unauthorized)
       << "read-only token deletes";

   Brim::Authn::EcKeyPtr other(EVP_EC_gen("P-256"), EVP_PKEY_free);
   EXPECT_EQ(Call(kList, Mint(Claims(), {{"alg", "ES256"}}, other.get())), unauthenticated)
       << "another key";
   EXPECT_EQ(Call(kList, Mint(Claims(), {{"alg", "ES384"}})), unauthenticated) << "ES384";

   std::string good = Mint(Claims());
   std::string claimsPart = good.substr(good.find('.') + 1, good.rfind('.') - good.find('.') - 1);
   EXPECT_EQ(
       Call(kList, Brim::Authn::Base64UrlEncode(R"({"alg":"none"})") + "." + claimsPart + "."),
       unauthenticated)
       << "alg none";
   std::ifstream pubFile(h.TokenKeyFile() + ".pub");
   std::string pub((std::istreambuf_iterator<char>(pubFile)), std::istreambuf_iterator<char>());
   std::string hsInput = Brim::Authn::Base64UrlEncode(R"({"alg":"HS256"})") + "." + claimsPart;
   unsigned char mac[32];
   unsigned int macLen = 0;
   HMAC(EVP_sha256(), pub.data(), static_cast<int>(pub.size()),
        reinterpret_cast<const unsigned char *>(hsInput.data()), hsInput.size(), mac, &macLen);
   EXPECT_EQ(Call(kList, hsInput + "." +
                             Brim::Authn::Base64UrlEncode(
                                 std::string(reinterpret_cast<char *>(mac), macLen))),
             unauthenticated)
       << "HS256 keyed with the public key";
   EXPECT_EQ(Call(kList, std::string(100 * 1024, 'A') + good), unauthenticated) << "100 kB";
   EXPECT_EQ(Call(kList, "not-a-token"), unauthenticated) << "one part";
   EXPECT_EQ(Call(kList, good, "com.talvor.ruvo.std.security.basic"), unauthenticated)
       << "another scheme";

   // The service still serves, and nothing of any token reached its log.
   EXPECT_EQ(Call(kList, Mint(Claims())), "result");
   ASSERT_EQ(h.StopAgent(), 0);
   std::string log = h.Agent().StderrText();
   EXPECT_NE(log.find("API token refused"), std::string::npos) << log;
   for (const auto &token : presented) {
      std::string tail = token.substr(token.size() - std::min<size_t>(token.size(), 16));
      EXPECT_EQ(log.find(tail), std::string::npos) << "token text in the log";
      EXPECT_EQ(log.find(claimsPart.substr(0, 24)), std::string::npos) << "token claims in the log";
   }
}

TEST_F(AgentSecurity, ZarnactlSignsItsCallsAndMintsTokensForOthers)
{
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   std::string tcp = "127.0.0.1:" + std::to_string(h.Port());
   auto listed = h.Zarnactl({"--tcp", tcp, "attestation-services", "list"});
   EXPECT_EQ(listed.exitCode, 0) << listed.output;

   // Without the key (a path that does not exist is not the default): refused by the agent.
   auto unsigned_ =
       h.RunProgram({ZarnaTesting::BuiltProgram("tools/zarnactl/zarnactl"), "--tcp", tcp,
                     "--token-key", h.Dir().File("absent.key"), "attestation-services", "list"});
   EXPECT_EQ(unsigned_.exitCode, 2) << unsigned_.output;
   std::string otherKey = h.Dir().File("other.key");
   auto generated = h.RunProgram({ZarnaTesting::BuiltProgram("tools/zarnactl/zarnactl"),
                                  "token-key", "generate", "--out", otherKey});
   ASSERT_EQ(generated.exitCode, 0) << generated.output;
   struct stat st {};
   ASSERT_EQ(stat(otherKey.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
   auto foreign = h.RunProgram({ZarnaTesting::BuiltProgram("tools/zarnactl/zarnactl"), "--tcp", tcp,
                                "--token-key", otherKey, "attestation-services", "list"});
   EXPECT_EQ(foreign.exitCode, 1) << foreign.output;
   EXPECT_NE(foreign.output.find("refused"), std::string::npos) << foreign.output;

   // A minted token works for curl-like clients, within its privileges.
   auto minted = h.RunProgram({ZarnaTesting::BuiltProgram("tools/zarnactl/zarnactl"), "token",
                               "mint", "--token-key", h.TokenKeyFile(), "--privilege",
                               "Zarna.Services.Read", "--lifetime", "60"});
   ASSERT_EQ(minted.exitCode, 0) << minted.output;
   std::string token = minted.output.substr(0, minted.output.find('\n'));
   EXPECT_EQ(Call(kList, token), "result");
   EXPECT_EQ(Call(kDelete, token), "com.talvor.ruvo.std.errors.unauthorized");
   auto meta = h.Zarnactl({"--tcp", tcp, "metadata", "metamodel", "list", "service"});
   EXPECT_EQ(meta.exitCode, 0) << meta.output;
   EXPECT_NE(meta.output.find("com.talvor.brim.trusted_infrastructure.kms.services"),
             std::string::npos)
       << meta.output;
   auto op =
       h.Zarnactl({"--tcp", tcp, "metadata", "authentication", "get", "service.operation", kList});
   EXPECT_EQ(op.exitCode, 0) << op.output;
   EXPECT_NE(op.output.find("com.talvor.ruvo.std.security.oauth"), std::string::npos) << op.output;
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST_F(AgentSecurity, MissingKeyOrBrokenMetadataStopsStartUp)
{
   std::string config = h.Dir().File("config.xml");
   auto rewrite = [&](const std::string &from, const std::string &to) {
      h.WriteConfig();
      std::ifstream in(config);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      auto at = text.find(from);
      ASSERT_NE(at, std::string::npos);
      text.replace(at, from.size(), to);
      h.Dir().Write("config.xml", text);
   };
   auto expectStop = [&](int code, const std::vector<std::string> &lines) {
      ASSERT_TRUE(h.StartAgent(false));
      auto status = h.Agent().Wait(30s);
      ASSERT_TRUE(status.has_value());
      EXPECT_EQ(ExitCodeOf(*status), code);
      std::string err = h.Agent().StderrText();
      for (const auto &line : lines) {
         EXPECT_NE(err.find(line), std::string::npos) << line << " in\n" << err;
      }
      EXPECT_EQ(err.find("Unix domain socket endpoint listening"), std::string::npos);
   };

   rewrite(h.TokenKeyFile() + ".pub", h.Dir().File("absent.pub"));
   expectStop(1, {"Cannot load the API token key (api/tokenKey)", "absent.pub", "Exiting."});
   rewrite(h.TokenKeyFile() + ".pub", h.TokenKeyFile()); // a private key is not the public key
   expectStop(1, {"Cannot load the API token key (api/tokenKey)"});

   std::string metadataTag = "<metadataFile>";
   auto useMetadata = [&](const std::string &name, const std::string &text) {
      h.Dir().Write(name, text);
      h.WriteConfig();
      std::ifstream in(config);
      std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      auto from = xml.find(metadataTag) + metadataTag.size();
      xml.replace(from, xml.find("</metadataFile>") - from, h.Dir().File(name));
      h.Dir().Write("config.xml", xml);
   };
   useMetadata("empty.json", "");
   expectStop(-SIGABRT, {"Loading cli metadata file: ", "Error loading file: ",
                         "VERIFY apps/zarna/ruvo/provider:332"});
   useMetadata("notjson.json", "{\"cli\":");
   expectStop(-SIGABRT, {"VERIFY apps/zarna/ruvo/provider:332"});
   useMetadata("nometamodel.json", R"({"cli":{}})");
   expectStop(-SIGABRT, {"VERIFY apps/zarna/ruvo/provider:338"});
   useMetadata("noauthn.json", R"({"cli":{},"metamodel":{}})");
   expectStop(-SIGABRT, {"VERIFY apps/zarna/ruvo/provider:344"});
   useMetadata("noauthz.json", R"({"cli":{},"metamodel":{},"authentication":{}})");
   expectStop(-SIGABRT,
              {"Error loading authz metadata file: ", "VERIFY apps/zarna/ruvo/provider:349"});
   // A file written for another agent: it grants a privilege for an operation this one does not
   // serve.
   std::ifstream shipped(
       std::string(std::getenv("ZARNA_SOURCE_DIR") ? std::getenv("ZARNA_SOURCE_DIR") : ".") +
       "/api/zarn_ruvo_agent_metadata.json");
   auto foreign = nlohmann::json::parse(shipped, nullptr, false);
   ASSERT_TRUE(foreign.is_object());
   foreign["authorization"]["operations"].push_back(
       {{"service", "com.talvor.brim.trusted_infrastructure.attestation.services"},
        {"operation", "purge"},
        {"privileges", {"Zarna.Services.Read"}}});
   useMetadata("foreign.json", foreign.dump());
   expectStop(-SIGABRT, {"Authorization metadata names "
                         "com.talvor.brim.trusted_infrastructure.attestation.services.purge",
                         "VERIFY apps/zarna/ruvo/provider:349"});
   h.WriteConfig();
   std::filesystem::remove(h.Dir().File("zarnaRuvoLocal.sock"));
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   EXPECT_EQ(h.StopAgent(), 0);
}

// Connects to the socket as another user; the errno of connect (0 on success).
int ConnectAs(uid_t uid, gid_t gid, const std::string &path)
{
   pid_t child = fork();
   if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
          setresuid(uid, uid, uid) != 0) {
         _exit(100);
      }
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
      _exit(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : errno);
   }
   int status = 0;
   waitpid(child, &status, 0);
   return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(AgentSecurity, LocalSocketIsOwnerOnlyOrOpenToTheConfiguredGroup)
{
   umask(0); // the agent must not depend on the umask it was started with
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   umask(022);
   // Each call names its local caller under its operation id.
   auto reply = ZarnaTesting::PostJsonUnix(
       h.SocketPath(),
       R"({"version":"1.1","id":"1","method":"com.talvor.brim.kms.key_operation.decrypt","params":{"context":)"
       R"({"app":{"opId":"peer-check-1"}},"input":{"provider":"p","ciphertext":"c"}}})");
   EXPECT_EQ(reply.status, 200);
   EXPECT_TRUE(h.Agent().WaitForOutput("[opID=peer-check-1] Local caller uid " +
                                           std::to_string(getuid()) + " pid " +
                                           std::to_string(getpid()),
                                       5s))
       << h.Agent().StderrText();
   struct stat st {};
   ASSERT_EQ(stat(h.SocketPath().c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
   chmod(h.Dir().Path().c_str(), 0755); // so that only the socket's own mode decides
   if (geteuid() == 0) {
      EXPECT_EQ(ConnectAs(65534, 65534, h.SocketPath()), EACCES)
          << "another user reached the socket";
   }
   EXPECT_EQ(h.StopAgent(), 0);

   group *nogroup = getgrgid(65534);
   ASSERT_NE(nogroup, nullptr);
   std::string groupName = nogroup->gr_name;
   h.WriteConfig("<api><localSocketGroup>" + groupName + "</localSocketGroup></api>");
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   ASSERT_EQ(stat(h.SocketPath().c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0660u);
   EXPECT_EQ(st.st_gid, 65534u);
   if (geteuid() == 0) {
      EXPECT_EQ(ConnectAs(65534, 65534, h.SocketPath()), 0) << "a member of the group is refused";
      EXPECT_EQ(ConnectAs(65533, 65533, h.SocketPath()), EACCES);
   }
   EXPECT_EQ(h.StopAgent(), 0);

   h.WriteConfig("<api><localSocketGroup>no-such-group-here</localSocketGroup></api>");
   ASSERT_TRUE(h.StartAgent(false));
   auto status = h.Agent().Wait(30s);
   ASSERT_TRUE(status.has_value());
   EXPECT_EQ(ExitCodeOf(*status), 1);
   EXPECT_NE(h.Agent().StderrText().find("no group named no-such-group-here"), std::string::npos)
       << h.Agent().StderrText();
}

} // namespace
