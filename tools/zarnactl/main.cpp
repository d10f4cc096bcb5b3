#include <iostream>
#include <string>
#include <vector>

#include "tools/zarnactl/app.h"

int main(int argc, char **argv)
{
   std::vector<std::string> args(argv + 1, argv + argc);
   return Zarnactl::RunZarnactl(args, std::cout, std::cerr, Zarnactl::SystemDeps());
}
