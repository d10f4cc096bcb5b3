// Replays a libFuzzer seed corpus through a fuzz entry point, so that every
// corpus runs as an ordinary test in builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static bool RunFile(const fs::path &path)
{
   std::ifstream in(path, std::ios::binary);
   if (!in) {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return false;
   }
   std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
   return true;
}

int main(int argc, char **argv)
{
   size_t count = 0;
   for (int i = 1; i < argc; ++i) {
      fs::path arg(argv[i]);
      if (fs::is_directory(arg)) {
         for (const auto &entry : fs::recursive_directory_iterator(arg)) {
            if (entry.is_regular_file()) {
               if (!RunFile(entry.path())) {
                  return 1;
               }
               ++count;
            }
         }
      } else if (!RunFile(arg)) {
         return 1;
      } else {
         ++count;
      }
   }
   if (count == 0) {
      fprintf(stderr, "no corpus inputs found\n");
      return 1;
   }
   printf("replayed %zu inputs\n", count);
   return 0;
}
