// Objects of the configuration store: ids, typed values, sub-objects and filters.
//
// An object is identified by key, group and component. A non-singleton object
// has many instances, each with an instance id; a singleton has one instance with
// the empty instance id. An instance holds named values (text, signed 64-bit
// integer, list of texts) and named sub-objects that hold the same again.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace BrimConfigStore {

class ConfigStoreObjectId {
public:
   ConfigStoreObjectId(std::string key, std::string group, std::string component,
                       std::string instanceIdIn = {});

   const std::string &GetKey() const { return mKey; }
   const std::string &GetGroup() const { return mGroup; }
   const std::string &GetComponent() const { return mComponent; }
   bool IsSingleton() const { return instanceId.empty(); }
   // "key/group/component[/instance]", for messages.
   std::string ToString() const;

   // Empty for a singleton and for "every instance" in a filter.
   std::string instanceId;

private:
   std::string mKey;
   std::string mGroup;
   std::string mComponent;
};

class SubObjectId {
public:
   explicit SubObjectId(std::string key) : mKey(std::move(key)) {}
   const std::string &GetKey() const { return mKey; }

private:
   std::string mKey;
};

using TextList = std::vector<std::string>;
using ConfigValue = std::variant<std::string, int64_t, TextList>;

class WritableObject;

class ReadOnlyObject {
public:
   virtual ~ReadOnlyObject() = default;

   // Text and list values must be present; integers are optional by design (a
   // missing port is meaningful), so that overload reports presence instead.
   void GetValue(const std::string &key, std::string &value) const;
   bool GetValue(const std::string &key, int64_t &value) const;
   void GetValue(const std::string &key, TextList &value) const;
   bool HasValue(const std::string &key) const { return mValues.count(key) != 0; }

   std::shared_ptr<const ReadOnlyObject> GetSubObject(const SubObjectId &id) const;
   bool HasSubObject(const SubObjectId &id) const { return mSubObjects.count(id.GetKey()) != 0; }

   // For backends: the raw content, keys in byte order.
   const std::map<std::string, ConfigValue> &Values() const { return mValues; }
   const std::map<std::string, std::shared_ptr<WritableObject>> &SubObjects() const
   {
      return mSubObjects;
   }

   // Value at a "/"-separated path of sub-object keys ending in a value key.
   const ConfigValue *FindValue(const std::string &path) const;

protected:
   ReadOnlyObject() = default;
   ReadOnlyObject(const ReadOnlyObject &) = default;
   ReadOnlyObject &operator=(const ReadOnlyObject &) = default;

   std::map<std::string, ConfigValue> mValues;
   std::map<std::string, std::shared_ptr<WritableObject>> mSubObjects;
};

class WritableObject : public ReadOnlyObject {
public:
   WritableObject() = default;

   // Keys are non-empty and hold neither "/" nor NUL; ConfigStoreException otherwise.
   // Setting a key again replaces its value, whatever its type was.
   void SetValue(const std::string &key, const std::string &value);
   void SetValue(const std::string &key, int64_t value);
   void SetValue(const std::string &key, const TextList &value);

   // The sub-object under that key, created empty when missing.
   std::shared_ptr<WritableObject> CreateSubObject(const SubObjectId &id);

   // Copies the whole tree, so that the copy shares nothing with this one.
   void CopyContentFrom(const ReadOnlyObject &other);

   static void CheckKey(const std::string &key);
};

class ConfigStoreObject : public WritableObject {
public:
   explicit ConfigStoreObject(ConfigStoreObjectId id);

   const ConfigStoreObjectId &GetObjectId() const { return mId; }
   std::shared_ptr<ConfigStoreObject> Clone() const;

private:
   ConfigStoreObjectId mId;
};

// Selects instances of one object (or the one instance named by the id's instance
// id). Optional criteria compare a value at a "/"-path for equality; an instance
// matches when every criterion holds.
class FilterSpecObject {
public:
   explicit FilterSpecObject(ConfigStoreObjectId id) : mId(std::move(id)) {}

   const ConfigStoreObjectId &GetObjectId() const { return mId; }
   void AddCriterion(const std::string &path, ConfigValue value);
   bool Matches(const ReadOnlyObject &object) const;

private:
   ConfigStoreObjectId mId;
   std::vector<std::pair<std::string, ConfigValue>> mCriteria;
};

} // namespace BrimConfigStore
