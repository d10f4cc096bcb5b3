// "zarnactl key generate|encrypt|decrypt" over the agent's Unix socket and
// "zarnactl providers list" over TCP. Key material is shown only with
// --show-key, or written to an --out file that only its owner can read.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "tools/zarnactl/app.h"

namespace Zarnactl {

// The agent's socket in its working directory under the service manager.
inline constexpr const char *kDefaultAgentSocket = "/run/zarna/zarnaRuvoLocal.sock";

// A key operation may wait for an attestation (up to minutes) before the key
// provider service answers.
inline constexpr std::chrono::seconds kKeyCallLimit{300};

struct KeyDeps {
   ConnectFn connect;
};
KeyDeps SystemKeyDeps();

// True when the command's noun is "key" or "providers".
bool IsKeyCommand(const std::vector<std::string> &args);
// args without the program name.
int RunKeyCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                  const KeyDeps &deps);

} // namespace Zarnactl
