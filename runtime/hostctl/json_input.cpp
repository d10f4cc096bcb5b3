#include "runtime/hostctl/json_input.h"

namespace HostCtl::Lib {

namespace {

// Nesting depth of arrays and objects, skipping string contents.
bool DepthWithin(const std::string &text, size_t maxDepth)
{
   size_t depth = 0;
   bool inString = false;
   for (size_t i = 0; i < text.size(); i++) {
      char c = text[i];
      if (inString) {
         if (c == '\\') {
            i++;
         } else if (c == '"') {
            inString = false;
         }
      } else if (c == '"') {
         inString = true;
      } else if (c == '[' || c == '{') {
         if (++depth > maxDepth) {
            return false;
         }
      } else if ((c == ']' || c == '}') && depth > 0) {
         depth--;
      }
   }
   return true;
}

} // namespace

bool ParseJsonInput(const std::string &text, nlohmann::json &document, size_t maxDepth)
{
   if (!DepthWithin(text, maxDepth)) {
      return false;
   }
   document = nlohmann::json::parse(text, nullptr, false);
   return !document.is_discarded();
}

} // namespace HostCtl::Lib
