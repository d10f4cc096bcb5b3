// The configuration store client: one store per namespace over a process-wide
// backend. Every failure is a ConfigStoreException.
//
// Start-up names the database (SetDatabasePath, from "configstore/path"); the
// SQLite backend is opened on first use, so an unusable database surfaces as an
// exception at the first store call and the next call tries again. Tests install
// another backend (SetBackend), e.g. a MemoryBackend with injected failures.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/configstore/config_store_exception.h"
#include "runtime/configstore/config_store_object.h"

namespace BrimConfigStore {

inline constexpr const char *kGlobalNamespace = "global";
inline constexpr const char *kDefaultDatabasePath = "/var/lib/zarna/configstore.db";

// Storage behind the client. Implementations are safe to call from many threads.
class ConfigStoreBackend {
public:
   virtual ~ConfigStoreBackend() = default;

   // Instances of the object in insertion order; only the named one when the id
   // carries an instance id.
   virtual std::vector<std::shared_ptr<ConfigStoreObject>> Load(const std::string &ns,
                                                                const ConfigStoreObjectId &id) = 0;
   // Stores one new instance, all or nothing; CS_ERR_OBJECT_EXISTS when taken.
   virtual void Add(const std::string &ns, const ConfigStoreObject &object) = 0;
   // Removes one instance, all or nothing; CS_ERR_OBJECT_NOT_FOUND when absent.
   virtual void Delete(const std::string &ns, const ConfigStoreObjectId &id) = 0;
   virtual void SetBootStatus(const std::string &ns, const ConfigStoreObjectId &id, bool status) = 0;
   virtual bool GetBootStatus(const std::string &ns, const ConfigStoreObjectId &id) = 0;
};

class ConfigStore {
public:
   // The store of a namespace; opens the configured database when needed.
   static std::shared_ptr<ConfigStore> GetStore(const std::string &ns = kGlobalNamespace);

   // Process-wide selection. SetDatabasePath drops an open SQLite backend so the
   // next GetStore opens the new path; SetBackend(nullptr) returns to SQLite.
   static void SetDatabasePath(const std::string &path);
   static std::string GetDatabasePath();
   static void SetBackend(std::shared_ptr<ConfigStoreBackend> backend);

   ConfigStore(std::shared_ptr<ConfigStoreBackend> backend, std::string ns);

   const std::string &GetNamespace() const { return mNamespace; }

   // Instances selected by the filter, in insertion order.
   std::vector<std::shared_ptr<ConfigStoreObject>> GetAllInstances(const FilterSpecObject &filter);
   // Adds one instance; an id without instance id names the singleton instance.
   void AddObject(const ConfigStoreObject &object);
   // Deletes the instance named by the id.
   void DeleteObject(const ConfigStoreObjectId &id);
   void SetBootStatus(const ConfigStoreObjectId &id, bool status);
   bool GetBootStatus(const ConfigStoreObjectId &id);

private:
   std::shared_ptr<ConfigStoreBackend> mBackend;
   std::string mNamespace;
};

// Records in the global store that the object's owner reads it at start-up.
void SetBootStatus(const ConfigStoreObjectId &id, bool status);

// A new random instance id (UUID text).
std::string GenerateInstanceId();

// Throws CS_ERR_INVALID_OBJECT_ID unless key, group and component are non-empty
// and free of "/" and NUL (the instance id may be empty, but not hold NUL).
void CheckObjectId(const ConfigStoreObjectId &id);

} // namespace BrimConfigStore
