// "zarnactl status": the agent's status in one screen, or as JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "api/trusted_infrastructure_agent_status.h"
#include "tools/zarnactl/app.h"

namespace Zarnactl {

// True when the command's noun is "status".
bool IsStatusCommand(const std::vector<std::string> &args);
// args without the program name.
int RunStatusCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                     const ConnectFn &connect);

// The one-screen form of a report, times in UTC.
void WriteStatusScreen(
    std::ostream &out,
    const Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc::Info &info);

} // namespace Zarnactl
