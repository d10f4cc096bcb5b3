#include "runtime/ruvo/metadata/metadata_container.h"

#include <fstream>
#include <set>

#include "runtime/ruvo/json/json_reader.h"
#include "runtime/ruvo/json/value_codec.h"

namespace Ruvo::Provider::Metadata {

namespace {

constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;
constexpr int kMaxDepth = 32;

Data::ErrorValuePtr Refused(const SourceInfo &source, const std::string &why)
{
   return Data::StdErrors::Make(
       Data::StdErrors::kInvalidArgument,
       {BaseMessage(kSourceMessageId, "Cannot load metadata source {1} from {2}: {3}",
                    {source.name, source.filePath, why})},
       "INVALID_ARGUMENT");
}

bool ReadFile(const std::string &path, std::string &text, std::string &why)
{
   std::ifstream in(path, std::ios::binary);
   if (!in) {
      why = "cannot open the file";
      return false;
   }
   char buf[8192];
   while (in.read(buf, sizeof buf) || in.gcount() > 0) {
      text.append(buf, static_cast<size_t>(in.gcount()));
      if (text.size() > kMaxFileBytes) {
         why = "the file is larger than " + std::to_string(kMaxFileBytes) + " bytes";
         return false;
      }
   }
   if (in.bad()) {
      why = "read error";
      return false;
   }
   return true;
}

const std::string *TextField(const nlohmann::json &entry, const char *name)
{
   auto it = entry.find(name);
   if (it == entry.end() || !it->is_string() || it->get_ref<const std::string &>().empty()) {
      return nullptr;
   }
   return &it->get_ref<const std::string &>();
}

} // namespace

Data::ErrorValuePtr MetadataContainerBase::AddSource(const SourceInfo &source)
{
   {
      Hostlib::MutexLock guard(mLock);
      for (const auto &s : mSources) {
         if (s.name == source.name) {
            return Refused(source, "a source of that name is already registered");
         }
      }
   }
   std::string text;
   std::string why;
   if (!ReadFile(source.filePath, text, why)) {
      return Refused(source, why);
   }
   nlohmann::json doc;
   if (!Protocol::Json::ReadDocument(text, {kMaxFileBytes, kMaxDepth}, doc, why)) {
      return Refused(source, why);
   }
   auto section = doc.is_object() ? doc.find(mSection) : doc.end();
   if (section == doc.end() || !section->is_object()) {
      return Refused(source, "no \"" + mSection + "\" object");
   }

   std::map<std::string, Collection> read;
   auto add = [&](const CollectionSpec &spec, const std::string &id, const nlohmann::json &entry) {
      Collection &c = read[spec.collection];
      Data::DataValuePtr value;
      Binding::CodecContext ctx;
      if (!Protocol::Json::ValueFromJson(entry, Data::TypeDesc::Of(Data::TypeKind::Dynamic), value,
                                         ctx)) {
         why = spec.collection + " " + id + " cannot be read";
         return false;
      }
      if (!c.entries.emplace(id, std::move(value)).second) {
         why = spec.collection + " " + id + " appears twice";
         return false;
      }
      c.order.push_back(id);
      return true;
   };
   auto array = [&](const nlohmann::json &owner, const std::string &name,
                    const nlohmann::json *&out) {
      auto it = owner.find(name);
      if (it == owner.end()) {
         out = nullptr;
         return true; // an absent collection is an empty one
      }
      out = &*it;
      if (!it->is_array()) {
         why = "\"" + name + "\" is not an array";
         return false;
      }
      for (const auto &entry : *it) {
         if (!entry.is_object()) {
            why = "\"" + name + "\" holds something that is not an object";
            return false;
         }
      }
      return true;
   };
   for (const auto &spec : mSpecs) {
      read[spec.collection];
      const nlohmann::json *outer = nullptr;
      if (!array(*section, spec.parentArray.empty() ? spec.array : spec.parentArray, outer)) {
         return Refused(source, why);
      }
      for (size_t i = 0; outer != nullptr && i < outer->size(); ++i) {
         const nlohmann::json &entry = (*outer)[i];
         const std::string *id = TextField(entry, "id");
         if (id == nullptr) {
            return Refused(source, "an entry of \"" +
                                       (spec.parentArray.empty() ? spec.array : spec.parentArray) +
                                       "\" has no text \"id\"");
         }
         if (spec.parentArray.empty()) {
            if (!add(spec, *id, entry)) {
               return Refused(source, why);
            }
            continue;
         }
         const nlohmann::json *inner = nullptr;
         if (!array(entry, spec.array, inner)) {
            return Refused(source, why);
         }
         for (size_t k = 0; inner != nullptr && k < inner->size(); ++k) {
            const std::string *name = TextField((*inner)[k], "name");
            if (name == nullptr) {
               return Refused(source, "an entry of \"" + spec.array + "\" of " + *id +
                                          " has no text \"name\"");
            }
            if (!add(spec, *id + "." + *name, (*inner)[k])) {
               return Refused(source, why);
            }
         }
      }
   }

   Hostlib::MutexLock guard(mLock);
   for (const auto &s : mSources) {
      if (s.name == source.name) {
         return Refused(source, "a source of that name is already registered");
      }
   }
   // Merged only when every id is new, so that a refused source leaves no trace.
   for (const auto &[name, c] : read) {
      auto existing = mCollections.find(name);
      for (const auto &id : c.order) {
         if (existing != mCollections.end() && existing->second.entries.count(id) != 0) {
            return Refused(source, name + " " + id + " is already defined by another source");
         }
      }
   }
   for (auto &[name, c] : read) {
      Collection &target = mCollections[name];
      for (auto &id : c.order) {
         target.entries.emplace(id, c.entries[id]);
         target.order.push_back(id);
      }
   }
   mSources.push_back(source);
   return nullptr;
}

std::vector<SourceInfo> MetadataContainerBase::Sources() const
{
   Hostlib::MutexLock guard(mLock);
   return mSources;
}

std::vector<std::string> MetadataContainerBase::List(const std::string &collection) const
{
   Hostlib::MutexLock guard(mLock);
   auto it = mCollections.find(collection);
   return it == mCollections.end() ? std::vector<std::string>{} : it->second.order;
}

Data::DataValuePtr MetadataContainerBase::Get(const std::string &collection,
                                              const std::string &id) const
{
   Hostlib::MutexLock guard(mLock);
   auto it = mCollections.find(collection);
   if (it == mCollections.end()) {
      return nullptr;
   }
   auto entry = it->second.entries.find(id);
   return entry == it->second.entries.end() ? nullptr : entry->second;
}

namespace Cli {
MetadataContainer::MetadataContainer()
    : MetadataContainerBase("cli", {{"namespace", "namespaces", ""}, {"command", "commands", ""}})
{
}
std::shared_ptr<MetadataContainer> MetadataContainer::GetInstance()
{
   static const auto instance = std::make_shared<MetadataContainer>();
   return instance;
}
} // namespace Cli

namespace Metamodel {
MetadataContainer::MetadataContainer()
    : MetadataContainerBase("metamodel", {{"package", "packages", ""},
                                          {"service", "services", ""},
                                          {"resource", "resources", ""},
                                          {"component", "components", ""},
                                          {"structure", "structures", ""},
                                          {"enumeration", "enumerations", ""},
                                          {"hidden", "hidden", ""},
                                          {"operation", "operations", "services"},
                                          {"model", "models", "resources"}})
{
}
std::shared_ptr<MetadataContainer> MetadataContainer::GetInstance()
{
   static const auto instance = std::make_shared<MetadataContainer>();
   return instance;
}
} // namespace Metamodel

namespace Authentication {
MetadataContainer::MetadataContainer()
    : MetadataContainerBase("authentication", {{"package", "packages", ""},
                                               {"service", "services", ""},
                                               {"component", "components", ""},
                                               {"operation", "operations", "services"}})
{
}
std::shared_ptr<MetadataContainer> MetadataContainer::GetInstance()
{
   static const auto instance = std::make_shared<MetadataContainer>();
   return instance;
}
} // namespace Authentication

} // namespace Ruvo::Provider::Metadata
