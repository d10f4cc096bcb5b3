// Per-provider master keys in a SQLite file (created 0600). Every provider has
// versions 1, 2, ...; new keys are wrapped under the newest, and every older
// version stays so that keys wrapped before a rotation still unwrap.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/configstore/sqlite_connection.h"
#include "runtime/ruvo/data/secret_string.h"

namespace Zarnd {

class MasterKeys {
public:
   // Throws BrimConfigStore::ConfigStoreException when the file cannot be opened.
   explicit MasterKeys(const std::string &path);

   // The newest master key of the provider, made (version 1) when it has none.
   // False only when the store fails (the reason in error).
   bool Current(const std::string &provider, uint32_t &version, Ruvo::SecretString &key,
                std::string &error);
   // False when there is no such version (or the store fails: error set).
   bool Get(const std::string &provider, uint32_t version, Ruvo::SecretString &key,
            std::string &error);
   // Adds the next version; returns it, or 0 with error set.
   uint32_t Rotate(const std::string &provider, std::string &error);

private:
   uint32_t AddVersionLocked(const std::string &provider);
   bool ReadLocked(const std::string &provider, uint32_t version, Ruvo::SecretString &key);

   std::mutex mLock; // one connection, used by one caller at a time
   BrimConfigStore::SqliteConnection mDb;
};

} // namespace Zarnd
