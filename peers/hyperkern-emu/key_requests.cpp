#include "peers/hyperkern-emu/key_requests.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "runtime/hostlib/safe_text.h"
#include "runtime/hyperkern/emulator_client.h"
#include "runtime/keylocator/key_locator.h"

namespace HyperkernEmu {

bool KeyRequestMessage(const std::string &provider, const std::string &keyId,
                       Hyperkern::Bytes &message, std::string *error)
{
   std::string text;
   const KeyLocError made = KeyLocator_ExportIndirect(provider.c_str(), keyId.c_str(), &text);
   if (made != KEYLOC_SUCCESS) {
      *error = std::string("cannot make a key locator: ") + KeyLocError_ToString(made);
      return false;
   }
   message.assign(text.begin(), text.end());
   message.push_back('\0');
   return true;
}

void SelectKey(Hyperkern::Proto::ListKeysAnswer &answer, const std::string &provider,
               const std::string &keyId)
{
   const Hyperkern::Proto::KeyIdDigest digest = Hyperkern::DigestKeyId(keyId);
   auto &keys = answer.keys;
   keys.erase(std::remove_if(keys.begin(), keys.end(),
                             [&](const Hyperkern::Proto::KeyRecord &k) {
                                return k.provider != provider || k.digest != digest;
                             }),
              keys.end());
   answer.total = static_cast<uint32_t>(keys.size());
}

std::string NameKeyInReport(const std::string &report, bool json, const std::string &keyId)
{
   if (!json) {
      return "key id " + Hostlib::EscapeText(keyId) + ":\n" + report;
   }
   nlohmann::json doc = nlohmann::json::parse(report, nullptr, false);
   if (!doc.is_object() || !doc["keys"].is_array()) {
      return report;
   }
   for (auto &entry : doc["keys"]) {
      entry["keyId"] = keyId;
   }
   return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace HyperkernEmu
