#include "apps/zarna/known_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include <pugixml.hpp>

namespace {

// Slash paths of the leaf elements, the way the framework reads the file.
std::map<std::string, std::string> LeafSettings(const pugi::xml_node &root)
{
   std::map<std::string, std::string> out;
   std::function<void(const pugi::xml_node &, const std::string &)> walk =
       [&](const pugi::xml_node &node, const std::string &path) {
          bool hasElement = false;
          for (const pugi::xml_node &child : node.children()) {
             if (child.type() == pugi::node_element) {
                hasElement = true;
                walk(child, path.empty() ? child.name() : path + "/" + child.name());
             }
          }
          if (!hasElement && !path.empty()) {
             out[path] = node.text().get();
          }
       };
   walk(root, "");
   return out;
}

// The packaged configuration must start without a single "unknown" line, or
// every fresh install would warn about its own file; a misspelt key is named.
TEST(KnownSettings, PackagedFileIsCleanAndMisspellingsAreNamed)
{
   const char *dir = std::getenv("ZARNA_SOURCE_DIR");
   ASSERT_NE(dir, nullptr);
   pugi::xml_document doc;
   ASSERT_TRUE(doc.load_file((std::string(dir) + "/packaging/config.xml").c_str()));
   std::map<std::string, std::string> values = LeafSettings(doc.document_element());
   ASSERT_GT(values.size(), 10u);
   EXPECT_EQ(Zarna::UnknownSettings(values), std::vector<std::string>{});

   values["api/tcpport"] = "7891";        // wrong case
   values["attestationDelay"] = "5";      // truncated
   values["features/anything"] = "false"; // switches are the host's to define
   EXPECT_EQ(Zarna::UnknownSettings(values),
             (std::vector<std::string>{"api/tcpport", "attestationDelay"}));
}

} // namespace
