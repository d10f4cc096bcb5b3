#include "runtime/hostlib/host_config.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr size_t kMaxFileBytes = 1 << 20;
constexpr size_t kMaxDepth = 16;

std::string TrimSpace(const std::string &text)
{
   const char *space = " \t\r\n";
   size_t begin = text.find_first_not_of(space);
   if (begin == std::string::npos) {
      return {};
   }
   size_t end = text.find_last_not_of(space);
   return text.substr(begin, end - begin + 1);
}

bool HasElementChild(const pugi::xml_node &node)
{
   for (pugi::xml_node child : node.children()) {
      if (child.type() == pugi::node_element) {
         return true;
      }
   }
   return false;
}

// Iterative, so that nesting depth is bounded by the check, not by the stack.
bool Flatten(const pugi::xml_node &root, std::map<std::string, std::string> &values,
             std::string &error)
{
   struct Pending {
      pugi::xml_node node;
      std::string path;
      size_t depth;
   };
   std::vector<Pending> stack;
   for (pugi::xml_node child : root.children()) {
      if (child.type() == pugi::node_element) {
         stack.push_back({child, child.name(), 1});
      }
   }
   std::map<std::string, std::string> found;
   while (!stack.empty()) {
      Pending item = std::move(stack.back());
      stack.pop_back();
      if (item.depth > kMaxDepth) {
         error = "setting " + item.path + " is nested too deeply";
         return false;
      }
      if (!HasElementChild(item.node)) {
         std::string value;
         for (pugi::xml_node child : item.node.children()) {
            if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
               value += child.value();
            }
         }
         if (!found.emplace(item.path, TrimSpace(value)).second) {
            error = "setting " + item.path + " is given more than once";
            return false;
         }
         continue;
      }
      for (pugi::xml_node child : item.node.children()) {
         if (child.type() == pugi::node_element) {
            stack.push_back({child, item.path + "/" + child.name(), item.depth + 1});
         }
      }
   }
   values = std::move(found);
   return true;
}

} // namespace

std::string HostConfig_ResolvePath(const std::string &defaultPath)
{
   const char *env = getenv("ZARNA_CONFIG");
   if (env != nullptr && *env != '\0') {
      return env;
   }
   return defaultPath;
}

bool HostConfig_Parse(const std::string &document, std::map<std::string, std::string> &values,
                      std::string &error)
{
   if (document.size() > kMaxFileBytes) {
      error = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
      return false;
   }
   pugi::xml_document doc;
   // Default parsing: no DTD processing, only the predefined and numeric entities.
   pugi::xml_parse_result result =
       doc.load_buffer(document.data(), document.size(), pugi::parse_default, pugi::encoding_utf8);
   if (!result) {
      error = std::string(result.description()) + " at offset " + std::to_string(result.offset);
      return false;
   }
   pugi::xml_node root = doc.document_element();
   if (!root) {
      error = "no root element";
      return false;
   }
   return Flatten(root, values, error);
}

bool HostConfig_Load(const std::string &path, std::map<std::string, std::string> &values,
                     std::string &error)
{
   std::ifstream in(path, std::ios::binary);
   if (!in) {
      error = "cannot open " + path + ": " + strerror(errno);
      return false;
   }
   // Bounded read: a path such as /dev/zero must not exhaust memory.
   std::string content(kMaxFileBytes + 1, '\0');
   in.read(content.data(), static_cast<std::streamsize>(content.size()));
   if (in.bad()) {
      error = "cannot read " + path;
      return false;
   }
   content.resize(static_cast<size_t>(in.gcount()));
   std::string parseError;
   if (!HostConfig_Parse(content, values, parseError)) {
      error = "malformed configuration file " + path + ": " + parseError;
      return false;
   }
   return true;
}
