// The configuration store in one SQLite database file (schema in docs/configstore.md).
#pragma once

#include <memory>
#include <string>

#include "runtime/configstore/config_store.h"
#include "runtime/hostlib/mutex.h"
#include "runtime/configstore/sqlite_connection.h"

namespace BrimConfigStore {

class SqliteBackend : public ConfigStoreBackend {
public:
   // Opens or creates the database: WAL journal, synchronous=FULL, foreign keys,
   // a quick integrity check, then the schema.
   static std::shared_ptr<SqliteBackend> Open(const std::string &path);

   explicit SqliteBackend(SqliteConnection connection) : mConnection(std::move(connection)) {}

   std::vector<std::shared_ptr<ConfigStoreObject>> Load(const std::string &ns,
                                                        const ConfigStoreObjectId &id) override;
   void Add(const std::string &ns, const ConfigStoreObject &object) override;
   void Delete(const std::string &ns, const ConfigStoreObjectId &id) override;
   void SetBootStatus(const std::string &ns, const ConfigStoreObjectId &id, bool status) override;
   bool GetBootStatus(const std::string &ns, const ConfigStoreObjectId &id) override;

private:
   void InsertNode(int64_t instanceSeq, std::optional<int64_t> parent, const std::string &name,
                   const ReadOnlyObject &node) ZARNA_REQUIRES(mLock);
   std::shared_ptr<ConfigStoreObject> ReadInstance(int64_t seq, const ConfigStoreObjectId &id)
      ZARNA_REQUIRES(mLock);

   // One connection cannot interleave transactions, so every call holds the lock.
   Hostlib::Mutex mLock;
   SqliteConnection mConnection ZARNA_GUARDED_BY(mLock);
};

} // namespace BrimConfigStore
