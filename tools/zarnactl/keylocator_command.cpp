#include "tools/zarnactl/keylocator_command.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "runtime/keylocator/key_locator.h"
#include "runtime/keylocator/keycache_backend.h"
#include "tools/zarnactl/cli_support.h"
#include "tools/zarnactl/command_line.h"

namespace Zarnactl {

namespace {

constexpr const char *kNoun = "keylocator";

int Refused(std::ostream &err, const std::string &what, KeyLocError error)
{
   err << "zarnactl: " << what << ": " << KeyLocError_ToString(error) << "\n";
   return kExitUsage;
}

int Make(const std::string &provider, const std::string &keyId, const std::string &direct,
         bool json, std::ostream &out, std::ostream &err)
{
   std::string text;
   const KeyLocError error = direct.empty()
                                 ? KeyLocator_ExportIndirect(provider.c_str(), keyId.c_str(), &text)
                                 : KeyLocator_ExportDirect(direct.c_str(), &text);
   if (error != KEYLOC_SUCCESS) {
      return Refused(err, "cannot make a key locator", error);
   }
   if (json) {
      out << nlohmann::json{{"locator", text}}.dump() << "\n";
   } else {
      out << text << "\n";
   }
   return kExitOk;
}

int Show(const std::string &text, bool json, std::ostream &out, std::ostream &err)
{
   KeyLocator *locator = nullptr;
   const KeyLocError error = KeyLocator_Import(text.c_str(), &locator);
   if (error != KEYLOC_SUCCESS) {
      return Refused(err, "not a key locator", error);
   }
   nlohmann::json doc;
   if (const KeyLocatorIndirect *indirect = KeyLocator_GetIndirect(locator)) {
      doc = {{"form", "indirect"},
             {"provider", indirect->provider},
             {"keyId", indirect->keyId},
             {"keyIdDigest", KeyLoc::KeyIdDigestHex(indirect->keyId)}};
   } else {
      doc = {{"form", "direct"}, {"keyName", KeyLocator_GetDirectName(locator)}};
   }
   KeyLocator_Destroy(locator);
   if (json) {
      out << doc.dump() << "\n";
      return kExitOk;
   }
   // The texts obey the locator rules: no control bytes, valid UTF-8.
   out << "form: " << doc["form"].get<std::string>() << "\n";
   if (doc["form"] == "indirect") {
      out << "provider: " << doc["provider"].get<std::string>() << "\n"
          << "key-id: " << doc["keyId"].get<std::string>() << "\n"
          << "key-id-digest: " << doc["keyIdDigest"].get<std::string>() << "\n";
   } else {
      out << "key-name: " << doc["keyName"].get<std::string>() << "\n";
   }
   return kExitOk;
}

} // namespace

bool IsKeyLocatorCommand(const std::vector<std::string> &args)
{
   for (const std::string &arg : args) {
      if (arg == kNoun) {
         return true;
      }
      if (arg != "--json") {
         return false;
      }
   }
   return false;
}

int RunKeyLocatorCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
   CLI::App app("Make and read key-locator texts.", "zarnactl");
   app.require_subcommand(1);
   bool json = false;
   app.add_flag("--json", json, "Print one JSON document");
   auto *noun = app.add_subcommand(kNoun, "Key-locator texts (no agent needed)");
   noun->require_subcommand(1);

   auto *make = noun->add_subcommand("make", "Print the locator of a wrapped key");
   std::string provider, keyId, direct;
   auto *providerOpt = make->add_option("--provider", provider, "Key provider name");
   auto *keyIdOpt = make->add_option("--key-id", keyId, "Key id (the wrapped key)");
   auto *directOpt = make->add_option("--direct", direct, "Key name of a direct locator");
   providerOpt->needs(keyIdOpt);
   keyIdOpt->needs(providerOpt);
   directOpt->excludes(providerOpt)->excludes(keyIdOpt);
   make->add_flag("--json", json, "Print one JSON document");

   auto *show = noun->add_subcommand("show", "Parse a locator and print what it names");
   std::string text;
   show->add_option("TEXT", text, "The locator text")->required();
   show->add_flag("--json", json, "Print one JSON document");

   if (auto exitCode = ParseOrExit(app, args, out, err)) {
      return *exitCode;
   }
   if (make->parsed()) {
      if (providerOpt->count() == 0 && directOpt->count() == 0) {
         err << "zarnactl: keylocator make needs --provider and --key-id, or --direct\n";
         return kExitUsage;
      }
      return Make(provider, keyId, direct, json, out, err);
   }
   return Show(text, json, out, err);
}

} // namespace Zarnactl
