// The command line of zarnactl, read into one invocation: where the agent is, the
// noun and verb, and the verb's arguments.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/zarnactl/api_token.h"
#include "tools/zarnactl/host_port.h"

namespace Zarnactl {

inline constexpr const char *kDefaultTcp = "127.0.0.1:7890";
inline constexpr int64_t kDefaultApiPort = 7890;

enum class ServiceKind { Attestation, KeyProvider };
enum class Verb { List, Get, Create, Delete };

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitAgentError = 1;
inline constexpr int kExitUsage = 2;

struct Endpoint {
   bool unixSocket = false;
   std::string host = "127.0.0.1"; // TCP
   int64_t port = kDefaultApiPort; // TCP
   std::string path;               // Unix socket
};

// Each member is present only when its option was given at least once.
struct ListFilter {
   std::optional<std::vector<std::string>> services;
   std::optional<std::vector<HostPort>> addresses;
   std::optional<std::vector<std::string>> groups;
};

struct CreateArgs {
   std::string host;
   std::optional<int64_t> port;
   std::string group;
   std::vector<std::string> caFiles;
};

struct Invocation {
   Endpoint endpoint;
   TokenKeyOption tokenKey; // TCP calls sign their token with it
   bool json = false;
   ServiceKind kind = ServiceKind::Attestation;
   Verb verb = Verb::List;
   std::optional<ListFilter> filter; // list: absent when no criterion was given
   std::string service;              // get, delete
   CreateArgs create;                // create
};

struct ParseOutcome {
   bool run = false; // false: stop with exitCode (help shown, or a usage error)
   int exitCode = kExitOk;
};

// args without the program name. Help goes to out; usage errors go to err.
ParseOutcome ParseCommandLine(const std::vector<std::string> &args, Invocation &inv,
                              std::ostream &out, std::ostream &err);

const char *KindNoun(ServiceKind kind);  // "attestation-services"
const char *KindTitle(ServiceKind kind); // "attestation service"

} // namespace Zarnactl
