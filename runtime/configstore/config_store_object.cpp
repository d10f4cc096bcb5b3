#include "runtime/configstore/config_store_object.h"

#include "runtime/configstore/config_store_exception.h"

namespace BrimConfigStore {

namespace {

template <typename T>
const T &ValueOf(const std::map<std::string, ConfigValue> &values, const std::string &key, bool &found)
{
   static const T kEmpty{};
   auto it = values.find(key);
   found = it != values.end();
   if (!found) {
      return kEmpty;
   }
   const T *typed = std::get_if<T>(&it->second);
   if (typed == nullptr) {
      throw ConfigStoreException(CS_ERR_VALUE_TYPE, key);
   }
   return *typed;
}

} // namespace

ConfigStoreObjectId::ConfigStoreObjectId(std::string key, std::string group, std::string component,
                                         std::string instanceIdIn)
   : instanceId(std::move(instanceIdIn)),
     mKey(std::move(key)),
     mGroup(std::move(group)),
     mComponent(std::move(component))
{
}

std::string ConfigStoreObjectId::ToString() const
{
   std::string text = mKey + "/" + mGroup + "/" + mComponent;
   if (!instanceId.empty()) {
      text += "/" + instanceId;
   }
   return text;
}

void ReadOnlyObject::GetValue(const std::string &key, std::string &value) const
{
   bool found = false;
   const std::string &stored = ValueOf<std::string>(mValues, key, found);
   if (!found) {
      throw ConfigStoreException(CS_ERR_VALUE_NOT_FOUND, key);
   }
   value = stored;
}

bool ReadOnlyObject::GetValue(const std::string &key, int64_t &value) const
{
   bool found = false;
   int64_t stored = ValueOf<int64_t>(mValues, key, found);
   if (found) {
      value = stored;
   }
   return found;
}

void ReadOnlyObject::GetValue(const std::string &key, TextList &value) const
{
   bool found = false;
   const TextList &stored = ValueOf<TextList>(mValues, key, found);
   if (!found) {
      throw ConfigStoreException(CS_ERR_VALUE_NOT_FOUND, key);
   }
   value = stored;
}

std::shared_ptr<const ReadOnlyObject> ReadOnlyObject::GetSubObject(const SubObjectId &id) const
{
   auto it = mSubObjects.find(id.GetKey());
   if (it == mSubObjects.end()) {
      throw ConfigStoreException(CS_ERR_SUBOBJECT_NOT_FOUND, id.GetKey());
   }
   return it->second;
}

const ConfigValue *ReadOnlyObject::FindValue(const std::string &path) const
{
   const ReadOnlyObject *node = this;
   size_t start = 0;
   for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', start)) {
      auto it = node->mSubObjects.find(path.substr(start, slash - start));
      if (it == node->mSubObjects.end()) {
         return nullptr;
      }
      node = it->second.get();
      start = slash + 1;
   }
   auto it = node->mValues.find(path.substr(start));
   return it == node->mValues.end() ? nullptr : &it->second;
}

void WritableObject::CheckKey(const std::string &key)
{
   if (key.empty() || key.find('/') != std::string::npos || key.find('\0') != std::string::npos) {
      throw ConfigStoreException(CS_ERR_INVALID_KEY, "'" + key.substr(0, key.find('\0')) + "'");
   }
}

void WritableObject::SetValue(const std::string &key, const std::string &value)
{
   CheckKey(key);
   mValues[key] = value;
}

void WritableObject::SetValue(const std::string &key, int64_t value)
{
   CheckKey(key);
   mValues[key] = value;
}

void WritableObject::SetValue(const std::string &key, const TextList &value)
{
   CheckKey(key);
   mValues[key] = value;
}

std::shared_ptr<WritableObject> WritableObject::CreateSubObject(const SubObjectId &id)
{
   CheckKey(id.GetKey());
   std::shared_ptr<WritableObject> &slot = mSubObjects[id.GetKey()];
   if (!slot) {
      slot = std::make_shared<WritableObject>();
   }
   return slot;
}

void WritableObject::CopyContentFrom(const ReadOnlyObject &other)
{
   mValues = other.Values();
   mSubObjects.clear();
   for (const auto &[key, child] : other.SubObjects()) {
      auto copy = std::make_shared<WritableObject>();
      copy->CopyContentFrom(*child);
      mSubObjects.emplace(key, std::move(copy));
   }
}

ConfigStoreObject::ConfigStoreObject(ConfigStoreObjectId id) : mId(std::move(id))
{
}

std::shared_ptr<ConfigStoreObject> ConfigStoreObject::Clone() const
{
   auto copy = std::make_shared<ConfigStoreObject>(mId);
   copy->CopyContentFrom(*this);
   return copy;
}

void FilterSpecObject::AddCriterion(const std::string &path, ConfigValue value)
{
   mCriteria.emplace_back(path, std::move(value));
}

bool FilterSpecObject::Matches(const ReadOnlyObject &object) const
{
   for (const auto &[path, expected] : mCriteria) {
      const ConfigValue *actual = object.FindValue(path);
      if (actual == nullptr || *actual != expected) {
         return false;
      }
   }
   return true;
}

} // namespace BrimConfigStore
