#include "runtime/ruvo/filters/authz_info.h"

#include <iterator>

#include "runtime/ruvo/json/json_reader.h"

namespace Ruvo::Authz {

const std::vector<std::string> *AuthzInfo::RequiredPrivileges(const std::string &methodText) const
{
   auto it = mOperations.find(methodText);
   return it == mOperations.end() ? nullptr : &it->second;
}

namespace Metadata {

namespace {

constexpr const char *kLoadFailed = "ruvo.authz.metadata.invalid";

bool Fail(std::vector<BaseMessage> &messages, const Log::LoggerPtr &logger, const std::string &why)
{
   messages.emplace_back(kLoadFailed, "Invalid authorization metadata: " + why);
   Log::Write(logger, Log::kError, "LoadAuthzInfoMetadata: ", why);
   return false;
}

bool IsText(const nlohmann::json &j)
{
   return j.is_string() && !j.get_ref<const std::string &>().empty();
}

} // namespace

bool LoadAuthzInfoMetadata::Load(std::istream &in, AuthzInfo &info, const Log::LoggerPtr &logger,
                                 std::vector<BaseMessage> &messages)
{
   std::string text;
   char buf[8192];
   while (in.read(buf, sizeof buf) || in.gcount() > 0) {
      text.append(buf, static_cast<size_t>(in.gcount()));
      if (text.size() > kMaxMetadataBytes) {
         return Fail(messages, logger,
                     "file larger than " + std::to_string(kMaxMetadataBytes) + " bytes");
      }
   }
   if (in.bad()) {
      return Fail(messages, logger, "read error");
   }
   nlohmann::json doc;
   std::string reason;
   Protocol::Json::Limits limits{kMaxMetadataBytes, 32};
   if (!Protocol::Json::ReadDocument(text, limits, doc, reason)) {
      return Fail(messages, logger, reason);
   }
   auto section = doc.is_object() ? doc.find("authorization") : doc.end();
   if (!doc.is_object() || section == doc.end() || !section->is_object()) {
      return Fail(messages, logger, "no \"authorization\" object");
   }
   auto privileges = section->find("privileges");
   auto operations = section->find("operations");
   if (privileges == section->end() || !privileges->is_array() || operations == section->end() ||
       !operations->is_array()) {
      return Fail(messages, logger, "\"privileges\" and \"operations\" must be arrays");
   }
   AuthzInfo loaded;
   for (const auto &p : *privileges) {
      auto id = p.is_object() ? p.find("id") : p.end();
      if (!p.is_object() || id == p.end() || !IsText(*id)) {
         return Fail(messages, logger, "a privilege without a text \"id\"");
      }
      loaded.DeclarePrivilege(id->get<std::string>());
   }
   for (const auto &op : *operations) {
      if (!op.is_object() || !IsText(op.value("service", nlohmann::json())) ||
          !IsText(op.value("operation", nlohmann::json()))) {
         return Fail(messages, logger, "an operation without text \"service\" and \"operation\"");
      }
      std::string method =
          op["service"].get<std::string>() + "." + op["operation"].get<std::string>();
      auto needed = op.find("privileges");
      if (needed == op.end() || !needed->is_array() || needed->empty()) {
         return Fail(messages, logger, method + " names no privilege");
      }
      std::vector<std::string> list;
      for (const auto &p : *needed) {
         if (!IsText(p) || loaded.Privileges().count(p.get<std::string>()) == 0) {
            return Fail(messages, logger, method + " names an undeclared privilege");
         }
         list.push_back(p.get<std::string>());
      }
      if (loaded.RequiredPrivileges(method) != nullptr) {
         return Fail(messages, logger, method + " appears twice");
      }
      loaded.SetOperation(method, std::move(list));
   }
   info = std::move(loaded);
   return true;
}

} // namespace Metadata

} // namespace Ruvo::Authz
