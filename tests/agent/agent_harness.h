// Test harness: the real agent and the real kernel emulator in a scratch
// directory, with a generated configuration on free ports.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace ZarnaTesting {

struct HttpReply {
   int status = 0; // 0 when no reply arrived
   std::string body;
};

// One HTTP/1.1 POST of a JSON body to /api over TCP (127.0.0.1) or a Unix
// socket path; the connection is closed after the reply. Over TCP, a request
// without a security context gets the token of the harness serving that port.
HttpReply PostJson(int tcpPort, const std::string &body);
// As PostJson, with the body exactly as given.
HttpReply PostJsonRaw(int tcpPort, const std::string &body);
HttpReply PostJsonUnix(const std::string &socketPath, const std::string &body);
// The JSON-RPC request with an OAuth security context holding the token, unless
// it has one; a body that is not a request object is returned as it is.
std::string WithToken(const std::string &body, const std::string &token);
// Sends raw bytes and returns whatever comes back before the peer closes or
// the time limit passes.
std::string SendRaw(int tcpPort, const std::string &bytes, std::chrono::milliseconds limit);

class AgentHarness {
public:
   AgentHarness();

   const TempDir &Dir() const { return mDir; }
   // The API key pair made for this agent ("api/tokenKey" names the .pub file).
   std::string TokenKeyFile() const { return mDir.File("api-token.key"); }
   // A token with every privilege, valid for an hour.
   const std::string &Token() const { return mToken; }
   ~AgentHarness();
   int Port() const { return mPort; }
   std::string SocketPath() const { return mDir.File("zarnaRuvoLocal.sock"); }
   std::string ChannelPath() const { return mDir.File("hyperkern.sock"); }

   // Writes the configuration (extra XML goes inside <config>).
   void WriteConfig(const std::string &extraXml = "", const std::string &logLevel = "verbose");

   // Starts the kernel emulator with extra `serve` options; waits for its socket.
   bool StartEmulator(const std::vector<std::string> &options = {});
   void StopEmulator();
   ChildProcess *Emulator() { return mEmulator.get(); }

   // Starts the agent; with `waitReady` waits until both endpoints listen.
   bool StartAgent(bool waitReady = true);
   ChildProcess &Agent() { return *mAgent; }
   // SIGTERM and wait; the exit code, or -1000 when it did not stop.
   int StopAgent(std::chrono::milliseconds limit = std::chrono::seconds(30));

   // Runs a program to completion (stdout+stderr captured).
   struct Run {
      int exitCode;
      std::string output;
   };
   Run RunProgram(std::vector<std::string> argv, std::chrono::milliseconds limit = std::chrono::seconds(60));
   // zarnactl; with --tcp also --token-key with the harness's API private key.
   Run Zarnactl(std::vector<std::string> args);
   Run EmulatorCommand(std::vector<std::string> args);

private:
   TempDir mDir;
   int mPort;
   std::string mToken;
   std::unique_ptr<ChildProcess> mEmulator;
   std::unique_ptr<ChildProcess> mAgent;
};

} // namespace ZarnaTesting
