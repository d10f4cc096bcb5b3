#include "peers/hyperkern-emu/report.h"

#include "runtime/hostlib/safe_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace HyperkernEmu {

using Hyperkern::Proto::KeyRecord;
using nlohmann::json;

namespace {

std::string Hex(const uint8_t *data, size_t size)
{
   static const char digits[] = "0123456789abcdef";
   std::string out;
   out.reserve(size * 2);
   for (size_t i = 0; i < size; ++i) {
      out += digits[data[i] >> 4];
      out += digits[data[i] & 0xF];
   }
   return out;
}

// Texts that came from a peer are shown with control and non-ASCII bytes escaped.
std::string Printable(const std::string &text)
{
   return Hostlib::EscapeText(text);
}

std::string Dump(const json &document)
{
   return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace

std::string HexStatus(uint32_t status)
{
   char text[16];
   snprintf(text, sizeof text, "0x%X", status);
   return text;
}

bool ParseStatus(const std::string &text, uint32_t &status)
{
   if (text.empty() || text[0] == '-' || text[0] == '+' ||
       text.find_first_of(" \t") != std::string::npos) {
      return false;
   }
   errno = 0;
   char *end = nullptr;
   unsigned long long value = strtoull(text.c_str(), &end, 0);
   if (errno != 0 || end == text.c_str() || *end != '\0' || value > UINT32_MAX) {
      return false;
   }
   status = static_cast<uint32_t>(value);
   return true;
}

bool ParseStatusList(const std::string &text, std::vector<uint32_t> &statuses, std::string *error)
{
   statuses.clear();
   if (text.empty()) {
      return true;
   }
   size_t start = 0;
   for (;;) {
      size_t comma = text.find(',', start);
      std::string item =
          text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      uint32_t status;
      if (!ParseStatus(item, status)) {
         *error = "not a 32-bit status: \"" + item + "\"";
         return false;
      }
      statuses.push_back(status);
      if (comma == std::string::npos) {
         return true;
      }
      start = comma + 1;
   }
}

std::string SendReport(const Hyperkern::Proto::QueueMsgAnswer &answer, bool json)
{
   const bool anyReply = answer.replyCalls != 0;
   if (json) {
      nlohmann::json doc = {{"messageId", answer.msgId},
                            {"status", anyReply ? nlohmann::json(HexStatus(answer.replyStatus))
                                                : nlohmann::json(nullptr)},
                            {"replyCalls", answer.replyCalls},
                            {"ended", answer.ended != 0},
                            {"lastAnswer", anyReply ? nlohmann::json(HexStatus(answer.lastAnswer))
                                                    : nlohmann::json(nullptr)}};
      return Dump(doc);
   }
   std::string out;
   out += "message-id: " + std::to_string(answer.msgId) + "\n";
   out += "status: " + (anyReply ? HexStatus(answer.replyStatus) : std::string("none")) + "\n";
   out += "reply-calls: " + std::to_string(answer.replyCalls) + "\n";
   out += std::string("ended: ") + (answer.ended != 0 ? "yes" : "no") + "\n";
   return out;
}

std::string RepliesReport(const Hyperkern::Proto::ListRepliesAnswer &answer, bool json)
{
   if (json) {
      nlohmann::json list = nlohmann::json::array();
      for (const auto &r : answer.replies) {
         list.push_back({{"messageId", r.msgId},
                         {"status", HexStatus(r.replyStatus)},
                         {"length", r.length},
                         {"answer", HexStatus(r.answer)},
                         {"timeMs", r.timeMs}});
      }
      return Dump({{"total", answer.total}, {"replies", list}});
   }
   std::string out;
   for (const auto &r : answer.replies) {
      out += "message " + std::to_string(r.msgId) + ": status " + HexStatus(r.replyStatus) +
             ", length " + std::to_string(r.length) + ", answered " + HexStatus(r.answer) +
             ", at " + std::to_string(r.timeMs) + " ms\n";
   }
   out += std::to_string(answer.total) + " reply call(s)\n";
   return out;
}

std::string KeysReport(const Hyperkern::Proto::ListKeysAnswer &answer, bool json, bool reveal)
{
   if (json) {
      nlohmann::json list = nlohmann::json::array();
      for (const KeyRecord &k : answer.keys) {
         nlohmann::json entry = {
             {"provider", k.provider},
             {"keyIdDigest", Hex(k.digest.data(), k.digest.size())},
             {"cipher", k.cipher},
             {"keyType", k.keyType},
             {"keyLength", k.keyLength},
             {"keyFingerprint", Hex(k.fingerprint.data(), k.fingerprint.size())}};
         if (reveal) {
            entry["key"] = Hex(k.key.data(), k.key.size());
         }
         list.push_back(std::move(entry));
      }
      return Dump({{"total", answer.total}, {"keys", list}});
   }
   std::string out;
   for (const KeyRecord &k : answer.keys) {
      out += "provider " + Printable(k.provider) + ", key id digest " +
             Hex(k.digest.data(), k.digest.size()) + ", " + Printable(k.cipher) + ", type " +
             std::to_string(k.keyType) + ", " + std::to_string(k.keyLength) +
             " bytes, fingerprint " + Hex(k.fingerprint.data(), k.fingerprint.size());
      if (reveal) {
         out += ", key " + Hex(k.key.data(), k.key.size());
      }
      out += "\n";
   }
   out += std::to_string(answer.total) + " key(s)\n";
   return out;
}

} // namespace HyperkernEmu
