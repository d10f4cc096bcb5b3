#include <iostream>
#include <string>
#include <vector>

#include "tools/zarnactl/command_line.h"

int main(int argc, char **argv)
{
   std::vector<std::string> args(argv + 1, argv + argc);
   Zarnactl::Invocation inv;
   Zarnactl::ParseOutcome outcome = Zarnactl::ParseCommandLine(args, inv, std::cout, std::cerr);
   if (!outcome.run) {
      return outcome.exitCode;
   }
   std::cerr << "zarnactl: talking to the agent is not wired up yet\n";
   return Zarnactl::kExitAgentError;
}
