#include <iostream>
#include <string>
#include <vector>

#include "tools/zarnactl/app.h"
#include "tools/zarnactl/key_commands.h"
#include "tools/zarnactl/keylocator_command.h"
#include "tools/zarnactl/status_command.h"

int main(int argc, char **argv)
{
   std::vector<std::string> args(argv + 1, argv + argc);
   // Locator texts need no agent and no connection.
   if (Zarnactl::IsKeyLocatorCommand(args)) {
      return Zarnactl::RunKeyLocatorCommand(args, std::cout, std::cerr);
   }
   if (Zarnactl::IsKeyCommand(args)) {
      return Zarnactl::RunKeyCommand(args, std::cout, std::cerr, Zarnactl::SystemKeyDeps());
   }
   if (Zarnactl::IsStatusCommand(args)) {
      return Zarnactl::RunStatusCommand(args, std::cout, std::cerr, Zarnactl::SystemDeps().connect);
   }
   return Zarnactl::RunZarnactl(args, std::cout, std::cerr, Zarnactl::SystemDeps());
}
