#include "peers/zarnd/master_keys.h"

#include <openssl/rand.h>

#include "runtime/configstore/config_store_exception.h"
#include "runtime/hostlib/base64.h"

namespace Zarnd {

using BrimConfigStore::SqliteStatement;
using BrimConfigStore::SqliteTransaction;

MasterKeys::MasterKeys(const std::string &path) : mDb(BrimConfigStore::SqliteConnection::Open(path))
{
   mDb.Exec(
       "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
       "CREATE TABLE IF NOT EXISTS master_keys (provider TEXT NOT NULL, version INTEGER NOT NULL,"
       " key TEXT NOT NULL, PRIMARY KEY (provider, version));");
}

uint32_t MasterKeys::AddVersionLocked(const std::string &provider)
{
   SqliteStatement last(mDb,
                        "SELECT COALESCE(MAX(version), 0) FROM master_keys WHERE provider = ?");
   last.Bind(1, provider);
   int64_t newest = last.Step() ? last.ColumnInt(0) : 0;
   if (newest >= 0x7fffffff) {
      return 0;
   }
   unsigned char bytes[32];
   if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
      return 0;
   }
   Ruvo::SecretString text(
       Hostlib::Base64UrlEncode(std::string_view(reinterpret_cast<char *>(bytes), sizeof(bytes))));
   OPENSSL_cleanse(bytes, sizeof(bytes));
   SqliteStatement insert(mDb, "INSERT INTO master_keys (provider, version, key) VALUES (?, ?, ?)");
   insert.Bind(1, provider).Bind(2, newest + 1).Bind(3, std::string(text.Expose()));
   insert.Run();
   return static_cast<uint32_t>(newest + 1);
}

bool MasterKeys::ReadLocked(const std::string &provider, uint32_t version, Ruvo::SecretString &key)
{
   SqliteStatement query(mDb, "SELECT key FROM master_keys WHERE provider = ? AND version = ?");
   query.Bind(1, provider).Bind(2, static_cast<int64_t>(version));
   if (!query.Step()) {
      return false;
   }
   Ruvo::SecretString text(query.ColumnText(0));
   std::string bytes;
   if (!Hostlib::Base64UrlDecode(text.Expose(), bytes) || bytes.size() != 32) {
      OPENSSL_cleanse(bytes.data(), bytes.size());
      return false;
   }
   key = Ruvo::SecretString(bytes);
   OPENSSL_cleanse(bytes.data(), bytes.size());
   return true;
}

bool MasterKeys::Current(const std::string &provider, uint32_t &version, Ruvo::SecretString &key,
                         std::string &error)
{
   std::lock_guard<std::mutex> guard(mLock);
   try {
      SqliteTransaction tx(mDb, true);
      SqliteStatement last(mDb, "SELECT MAX(version) FROM master_keys WHERE provider = ?");
      last.Bind(1, provider);
      int64_t newest = (last.Step() && !last.ColumnIsNull(0)) ? last.ColumnInt(0) : 0;
      if (newest == 0) {
         newest = AddVersionLocked(provider);
      }
      if (newest == 0 || !ReadLocked(provider, static_cast<uint32_t>(newest), key)) {
         error = "master key unusable";
         return false;
      }
      tx.Commit();
      version = static_cast<uint32_t>(newest);
      return true;
   } catch (const BrimConfigStore::ConfigStoreException &e) {
      error = e.what();
      return false;
   }
}

bool MasterKeys::Get(const std::string &provider, uint32_t version, Ruvo::SecretString &key,
                     std::string &error)
{
   std::lock_guard<std::mutex> guard(mLock);
   try {
      return ReadLocked(provider, version, key);
   } catch (const BrimConfigStore::ConfigStoreException &e) {
      error = e.what();
      return false;
   }
}

uint32_t MasterKeys::Rotate(const std::string &provider, std::string &error)
{
   std::lock_guard<std::mutex> guard(mLock);
   try {
      SqliteTransaction tx(mDb, true);
      uint32_t version = AddVersionLocked(provider);
      if (version == 0) {
         error = "no further master key version";
         return 0;
      }
      tx.Commit();
      return version;
   } catch (const BrimConfigStore::ConfigStoreException &e) {
      error = e.what();
      return 0;
   }
}

} // namespace Zarnd
