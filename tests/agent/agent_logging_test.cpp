// What the running agent writes to its log when callers send hostile texts and
// secrets, when its log file is rotated, and when the kernel side restarts.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/agent/agent_harness.h"

namespace {

using namespace std::chrono_literals;
using ZarnaTesting::AgentHarness;

std::vector<std::string> Lines(const std::string &text)
{
   std::vector<std::string> lines;
   std::istringstream in(text);
   for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
   }
   return lines;
}

std::string ReadFile(const std::string &path)
{
   std::ifstream in(path);
   return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Call(const std::string &method, const std::string &input, const std::string &app = "{}")
{
   return R"({"version":"1.1","id":"1","method":")" + method + R"(","params":{"context":{"app":)" +
          app + R"(},"input":)" + input + "}}";
}

const std::string kAttestd = "com.talvor.brim.trusted_infrastructure.attestation.services";
const std::string kKeyOp = "com.talvor.brim.kms.key_operation";

// A text that would start a line of its own, with a terminal escape, if it were
// written raw. `tag` names the fields it is sent in.
std::string Forged(const std::string &tag)
{
   return "FORGED-" + tag + R"(\n2026-12-06T00:00:00.000Z 110 [1] INJECTED-)" + tag +
          R"(\u001b[2J)";
}

// The forged text ended up whole and escaped inside the lines that name it (as
// many as the agent writes for that failure), and began none of its own.
void ExpectWholeInLines(const std::string &log, const std::string &tag,
                        std::optional<size_t> expected = std::nullopt)
{
   size_t lines = 0;
   for (const auto &line : Lines(log)) {
      if (line.find("INJECTED-" + tag) == std::string::npos) {
         continue;
      }
      ++lines;
      EXPECT_NE(line.find("FORGED-" + tag + "\\x0a2026-12-06T00:00:00.000Z 110 [1] INJECTED-" +
                          tag + "\\x1b[2J"),
                std::string::npos)
          << line;
   }
   if (expected) {
      EXPECT_EQ(lines, *expected) << tag << "\n" << log;
   }
}

TEST(AgentLogging, CallerTextsCannotForgeLinesOrFloodTheLog)
{
   AgentHarness h;
   h.WriteConfig("", "info");
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();

   // A caller's op-id is bound to the lines of its call (here the failure line).
   auto a = ZarnaTesting::PostJson(h.Port(), Call(kAttestd + ".get", R"({"service":"no-such-id"})",
                                                  R"({"opId":")" + Forged("OPID") + R"("})"));
   EXPECT_EQ(a.status, 200);
   auto b = ZarnaTesting::PostJson(
       h.Port(), Call(kAttestd + ".get", R"({"service":")" + Forged("SVC") + R"("})"));
   EXPECT_EQ(b.status, 200);
   auto c = ZarnaTesting::PostJson(
       h.Port(), Call(kAttestd + ".create",
                      R"({"spec":{"address":{"hostname":")" + Forged("HOST") +
                          R"(","port":443},"trusted_CA":{"cert_chain":[]},"group":"g"}})"));
   EXPECT_EQ(c.status, 200);
   // A method text that is not an identifier is refused before anything logs it.
   auto d = ZarnaTesting::PostJson(h.Port(),
                                   Call(kAttestd + R"(.list\n2026 110 [1] INJECTED-METHOD)", "{}"));
   EXPECT_EQ(d.status, 200);
   EXPECT_NE(d.body.find("invalid_request"), std::string::npos) << d.body;

   std::this_thread::sleep_for(200ms);
   std::string log = h.Agent().StderrText();
   ExpectWholeInLines(log, "OPID", 1); // the failure line of its call
   ExpectWholeInLines(log, "SVC", 1);  // the failure line
   ExpectWholeInLines(log, "HOST");    // as many lines as refusing the name takes
   EXPECT_EQ(log.find("INJECTED-METHOD"), std::string::npos);
   EXPECT_EQ(log.find('\x1b'), std::string::npos);

   // However long a text, the lines it reaches stay short.
   const size_t before = log.size();
   auto big = ZarnaTesting::PostJson(
       h.Port(), Call(kAttestd + ".create",
                      R"({"spec":{"address":{"hostname":")" + std::string(5000000, 'h') +
                          R"(","port":443},"trusted_CA":{"cert_chain":[]},"group":"g"}})"));
   EXPECT_EQ(big.status, 200);
   std::this_thread::sleep_for(200ms);
   EXPECT_LT(h.Agent().StderrText().size() - before, 8192u);
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST(AgentLogging, NoSecretAtTheMostVerboseLevelOverEitherEndpoint)
{
   AgentHarness h;
   h.WriteConfig("", "trivia");
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   const std::string secret = "PLAINTEXT-SECRET-5f3a";
   const std::string calls[] = {
       Call(kKeyOp + ".encrypt", R"({"provider":"p1","plaintext":")" + secret + R"("})"),
       // Not an operation anybody declared: nothing says which field is secret.
       Call(kKeyOp + ".encrypt_v2", R"({"provider":"p1","plaintext":")" + secret + R"("})"),
       Call(kKeyOp + ".decrypt", R"({"provider":"p1","ciphertext":"wrapped"})"),
       Call(kKeyOp + ".generate_key", R"({"provider":"p1","key_size":32})"),
   };
   for (const auto &call : calls) {
      EXPECT_NE(ZarnaTesting::PostJsonUnix(h.SocketPath(), call).status, 0);
      EXPECT_NE(ZarnaTesting::PostJson(h.Port(), call).status, 0);
   }
   std::this_thread::sleep_for(200ms);
   std::string log = h.Agent().StderrText();
   EXPECT_EQ(log.find(secret), std::string::npos) << log;
   // Declared types mask the secret; an undeclared operation shows field names only.
   EXPECT_NE(log.find("Invoke-Input: encrypt.input{provider: \"p1\", plaintext: <secret>}"),
             std::string::npos);
   EXPECT_NE(log.find("Invoke-Input: {plaintext, provider}"), std::string::npos) << log;
   EXPECT_EQ(h.StopAgent(), 0);
}

TEST(AgentLogging, SighupMovesLinesToANewFileCreatedOwnerAndGroupReadable)
{
   AgentHarness h;
   const std::string logFile = h.Dir().File("agent.log");
   h.WriteConfig("<log><file>" + logFile + "</file></log>");
   ASSERT_TRUE(h.StartEmulator());
   mode_t saved = umask(0);
   bool started = h.StartAgent();
   umask(saved);
   ASSERT_TRUE(started) << h.Agent().StderrText();
   struct stat st;
   ASSERT_EQ(stat(logFile.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0640u);

   ASSERT_EQ(rename(logFile.c_str(), (logFile + ".1").c_str()), 0);
   h.Agent().Signal(SIGHUP);
   ASSERT_TRUE(h.Agent().WaitForOutput("log file reopened", 10s)) << h.Agent().StderrText();
   auto ok = ZarnaTesting::PostJson(h.Port(), Call(kAttestd + ".list", "{}"));
   EXPECT_EQ(ok.status, 200);
   EXPECT_TRUE(h.Agent().Running());
   EXPECT_EQ(h.StopAgent(), 0);

   const std::string rotated = ReadFile(logFile + ".1");
   const std::string fresh = ReadFile(logFile);
   EXPECT_NE(rotated.find("Unix domain socket endpoint listening"), std::string::npos) << rotated;
   EXPECT_EQ(rotated.find("Invoke-MethodId"), std::string::npos) << rotated;
   EXPECT_NE(fresh.find("log file reopened"), std::string::npos) << fresh;
   EXPECT_NE(fresh.find("Invoke-MethodId: " + kAttestd + ".list"), std::string::npos) << fresh;
   ASSERT_EQ(stat(logFile.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(AgentLogging, KernelRequestsAreAnsweredAgainAfterTheEmulatorRestarts)
{
   AgentHarness h;
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.StartAgent()) << h.Agent().StderrText();
   h.StopEmulator();
   ASSERT_TRUE(h.Agent().WaitForOutput("re-registering in 1 s", 10s)) << h.Agent().StderrText();
   // Away long enough for a failed try; the next one is 2 s later.
   ASSERT_TRUE(h.Agent().WaitForOutput("Unable to re-register with Hyperkern RPC (try 1)", 10s));
   ASSERT_TRUE(h.StartEmulator());
   ASSERT_TRUE(h.Agent().WaitForOutput("Re-registered with Hyperkern RPC (try 2)", 10s))
       << h.Agent().StderrText();

   auto sent =
       h.EmulatorCommand({"send", "--locator", "after-restart", "--timeout", "20", "--json"});
   EXPECT_EQ(sent.exitCode, 0) << sent.output;
   EXPECT_NE(sent.output.find("\"ended\":true"), std::string::npos) << sent.output;
   EXPECT_EQ(h.StopAgent(), 0);
}

} // namespace
