// zarnactl's commands around API security: making the host's API key pair,
// minting tokens for other clients, and reading what the metadata services
// publish.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/zarnactl/app.h"

namespace Zarnactl {

// True when the command's noun is "token-key", "token" or "metadata".
bool IsSecurityCommand(const std::vector<std::string> &args);

// args without the program name.
int RunSecurityCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                       const AppDeps &deps);

} // namespace Zarnactl
