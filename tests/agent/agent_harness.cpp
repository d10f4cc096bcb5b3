#include "tests/agent/agent_harness.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "runtime/authn/token_minter.h"

namespace ZarnaTesting {

namespace {

using namespace std::chrono_literals;

// The token of the harness serving each TCP port, for PostJson.
std::mutex gTokensLock;
std::map<int, std::string> gTokens; // guarded by gTokensLock

// The metadata file of the source tree, which the packaged agent reads from its
// installed place.
std::string MetadataFile()
{
   const char *dir = getenv("ZARNA_SOURCE_DIR");
   return std::string(dir != nullptr && *dir != '\0' ? dir : ZARNA_SOURCE_TREE) + "/api/zarn_ruvo_agent_metadata.json";
}

int ConnectTcp(int port)
{
   int fd = socket(AF_INET, SOCK_STREAM, 0);
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(static_cast<uint16_t>(port));
   if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(fd);
      return -1;
   }
   return fd;
}

int ConnectUnix(const std::string &path)
{
   int fd = socket(AF_UNIX, SOCK_STREAM, 0);
   sockaddr_un addr{};
   addr.sun_family = AF_UNIX;
   if (path.size() >= sizeof addr.sun_path) {
      close(fd);
      return -1;
   }
   memcpy(addr.sun_path, path.c_str(), path.size() + 1);
   if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(fd);
      return -1;
   }
   return fd;
}

std::string Exchange(int fd, const std::string &bytes, std::chrono::milliseconds limit)
{
   std::string out;
   if (fd < 0) {
      return out;
   }
   size_t sent = 0;
   while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
         break;
      }
      sent += static_cast<size_t>(n);
   }
   auto deadline = std::chrono::steady_clock::now() + limit;
   char buf[4096];
   while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      int r = poll(&p, 1, 50);
      if (r <= 0) {
         continue;
      }
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
         break;
      }
      out.append(buf, static_cast<size_t>(n));
   }
   close(fd);
   return out;
}

HttpReply ParseReply(const std::string &raw)
{
   HttpReply reply;
   if (raw.rfind("HTTP/1.1 ", 0) != 0 || raw.size() < 12) {
      return reply;
   }
   reply.status = std::stoi(raw.substr(9, 3));
   auto headerEnd = raw.find("\r\n\r\n");
   if (headerEnd != std::string::npos) {
      reply.body = raw.substr(headerEnd + 4);
   }
   return reply;
}

std::string PostBytes(const std::string &body)
{
   return "POST /api HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
          "Connection: close\r\nContent-Length: " +
          std::to_string(body.size()) + "\r\n\r\n" + body;
}

} // namespace

HttpReply PostJson(int tcpPort, const std::string &body)
{
   std::string token;
   {
      std::lock_guard<std::mutex> guard(gTokensLock);
      auto it = gTokens.find(tcpPort);
      token = it == gTokens.end() ? std::string() : it->second;
   }
   return PostJsonRaw(tcpPort, token.empty() ? body : WithToken(body, token));
}

HttpReply PostJsonRaw(int tcpPort, const std::string &body)
{
   return ParseReply(Exchange(ConnectTcp(tcpPort), PostBytes(body), 10s));
}

std::string WithToken(const std::string &body, const std::string &token)
{
   // Only request objects are touched: anything else is sent as the test wrote it.
   if (body.empty() || body.front() != '{') {
      return body;
   }
   nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
   if (!request.is_object() || !request.contains("params") || !request["params"].is_object()) {
      return body;
   }
   nlohmann::json &context = request["params"]["context"];
   if (!context.is_object()) {
      context = nlohmann::json::object();
   }
   if (context.contains("security")) {
      return body;
   }
   context["security"] = {{"schemeId", "com.talvor.ruvo.std.security.oauth"}, {"accessToken", token}};
   return request.dump();
}

HttpReply PostJsonUnix(const std::string &socketPath, const std::string &body)
{
   return ParseReply(Exchange(ConnectUnix(socketPath), PostBytes(body), 10s));
}

std::string SendRaw(int tcpPort, const std::string &bytes, std::chrono::milliseconds limit)
{
   return Exchange(ConnectTcp(tcpPort), bytes, limit);
}

AgentHarness::AgentHarness() : mPort(FreeTcpPort())
{
   std::string error;
   Brim::Authn::EcKeyPtr key;
   Brim::Authn::MintSpec spec;
   spec.privileges = {"Zarna.Services.Read", "Zarna.Services.Manage", "Zarna.Providers.Read", "Zarna.Metadata.Read"};
   spec.lifetimeSec = 3600;
   spec.subject = "agent-harness";
   if (!Brim::Authn::GenerateEs256KeyFiles(TokenKeyFile(), error) ||
       !Brim::Authn::LoadEs256PrivateKey(TokenKeyFile(), key, error) ||
       !Brim::Authn::MintApiToken(key.get(), spec, mToken, error)) {
      throw std::runtime_error("API token key: " + error);
   }
   std::lock_guard<std::mutex> guard(gTokensLock);
   gTokens[mPort] = mToken;
   WriteConfig();
}

AgentHarness::~AgentHarness()
{
   std::lock_guard<std::mutex> guard(gTokensLock);
   gTokens.erase(mPort);
}

void AgentHarness::WriteConfig(const std::string &extraXml, const std::string &logLevel)
{
   mDir.Write("config.xml",
              "<config>\n"
              "  <log><level>" + logLevel + "</level></log>\n"
              "  <configstore><path>" + mDir.File("configstore.db") + "</path></configstore>\n"
              "  <hyperkern><channel>" + ChannelPath() + "</channel></hyperkern>\n"
              "  <firewall><backend>file:" + mDir.File("firewall.json") + "</backend></firewall>\n"
              "  <api><tcpPort>" + std::to_string(mPort) + "</tcpPort><tokenKey>" + TokenKeyFile() +
                 ".pub</tokenKey><metadataFile>" + MetadataFile() + "</metadataFile></api>\n" +
                 extraXml + "</config>\n");
}

bool AgentHarness::StartEmulator(const std::vector<std::string> &options)
{
   std::vector<std::string> argv{BuiltProgram("peers/hyperkern-emu/hyperkern-emu"), "serve",
                                 "--socket", ChannelPath()};
   argv.insert(argv.end(), options.begin(), options.end());
   mEmulator = std::make_unique<ChildProcess>(argv);
   for (int i = 0; i < 200; ++i) {
      if (std::filesystem::exists(ChannelPath())) {
         return true;
      }
      std::this_thread::sleep_for(25ms);
   }
   return false;
}

void AgentHarness::StopEmulator()
{
   if (mEmulator) {
      mEmulator->Signal(SIGTERM);
      mEmulator->Wait(10s);
   }
}

bool AgentHarness::StartAgent(bool waitReady)
{
   mAgent = std::make_unique<ChildProcess>(std::vector<std::string>{BuiltProgram("apps/zarna/zarna")},
                                           std::map<std::string, std::string>{
                                              {"ZARNA_CONFIG", mDir.File("config.xml")}},
                                           mDir.Path());
   if (!waitReady) {
      return true;
   }
   return mAgent->WaitForOutput("Unix domain socket endpoint listening on", 30s);
}

int AgentHarness::StopAgent(std::chrono::milliseconds limit)
{
   mAgent->Signal(SIGTERM);
   auto status = mAgent->Wait(limit);
   return status ? ExitCodeOf(*status) : -1000;
}

AgentHarness::Run AgentHarness::RunProgram(std::vector<std::string> argv, std::chrono::milliseconds limit)
{
   ChildProcess child(std::move(argv));
   auto status = child.Wait(limit);
   return {status ? ExitCodeOf(*status) : -1000, child.StderrText()};
}

AgentHarness::Run AgentHarness::Zarnactl(std::vector<std::string> args)
{
   std::vector<std::string> argv{BuiltProgram("tools/zarnactl/zarnactl")};
   // Calls over TCP sign their token with the harness's key.
   if (std::find(args.begin(), args.end(), "--tcp") != args.end()) {
      argv.insert(argv.end(), {"--token-key", TokenKeyFile()});
   }
   argv.insert(argv.end(), args.begin(), args.end());
   return RunProgram(argv);
}

AgentHarness::Run AgentHarness::EmulatorCommand(std::vector<std::string> args)
{
   std::vector<std::string> argv{BuiltProgram("peers/hyperkern-emu/hyperkern-emu")};
   argv.insert(argv.end(), args.begin(), args.end());
   argv.push_back("--socket");
   argv.push_back(ChannelPath());
   return RunProgram(argv);
}

} // namespace ZarnaTesting
