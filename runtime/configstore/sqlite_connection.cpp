#include "runtime/configstore/sqlite_connection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/configstore/config_store_exception.h"

namespace BrimConfigStore {

namespace {

int32_t CodeForSqlite(int rc)
{
   switch (rc & 0xff) {
   case SQLITE_FULL:
      return CS_ERR_DB_FULL;
   case SQLITE_READONLY:
      return CS_ERR_DB_READONLY;
   case SQLITE_CORRUPT:
   case SQLITE_NOTADB:
      return CS_ERR_DB_CORRUPT;
   case SQLITE_BUSY:
   case SQLITE_LOCKED:
      return CS_ERR_DB_BUSY;
   case SQLITE_IOERR:
      return CS_ERR_DB_IO;
   case SQLITE_CANTOPEN:
   case SQLITE_PERM:
   case SQLITE_AUTH:
      return CS_ERR_DB_OPEN;
   case SQLITE_CONSTRAINT:
      return CS_ERR_CONSTRAINT;
   default:
      return CS_ERR_INTERNAL;
   }
}

// Creates the file ourselves so that it is never a symlink, a FIFO or a device
// and is born owner-only; SQLite would otherwise create it with the umask.
void PrepareFile(const std::string &path)
{
   struct stat st {};
   if (lstat(path.c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) {
         throw ConfigStoreException(CS_ERR_DB_OPEN, path, "symbolic links are refused");
      }
      if (!S_ISREG(st.st_mode)) {
         throw ConfigStoreException(CS_ERR_DB_NOT_REGULAR, path);
      }
   }
   int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
   if (fd < 0) {
      int err = errno;
      if (err == ELOOP) {
         throw ConfigStoreException(CS_ERR_DB_OPEN, path, "symbolic links are refused");
      }
      if (err == EROFS || ((err == EACCES || err == EPERM) && lstat(path.c_str(), &st) == 0)) {
         throw ConfigStoreException(CS_ERR_DB_READONLY, path, std::strerror(err));
      }
      throw ConfigStoreException(CS_ERR_DB_OPEN, path, std::strerror(err));
   }
   bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
   close(fd);
   if (!regular) {
      throw ConfigStoreException(CS_ERR_DB_NOT_REGULAR, path);
   }
}

} // namespace

SqliteConnection SqliteConnection::Open(const std::string &path)
{
   if (path.empty() || path.find('\0') != std::string::npos) {
      throw ConfigStoreException(CS_ERR_DB_OPEN, "''", "no database path");
   }
   PrepareFile(path);
   sqlite3 *db = nullptr;
   int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW |
               SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
   int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
   SqliteConnection connection(path, db);
   if (rc != SQLITE_OK) {
      if (db == nullptr) {
         throw ConfigStoreException(CS_ERR_DB_OPEN, path, sqlite3_errstr(rc));
      }
      int32_t code = CodeForSqlite(rc);
      throw ConfigStoreException(code == CS_ERR_INTERNAL ? CS_ERR_DB_OPEN : code, path,
                                 sqlite3_errmsg(db));
   }
   // SQLite falls back to read-only silently when it cannot write the file.
   if (sqlite3_db_readonly(db, "main") == 1) {
      throw ConfigStoreException(CS_ERR_DB_READONLY, path);
   }
   int set = 0;
   if (sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, &set) != SQLITE_OK || set != 1) {
      throw ConfigStoreException(CS_ERR_DB_OPEN, path, "cannot enable defensive mode");
   }
   sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
   sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
   sqlite3_busy_timeout(db, 5000);
   return connection;
}

SqliteConnection::SqliteConnection(SqliteConnection &&other) noexcept
   : mPath(std::move(other.mPath)), mDb(other.mDb)
{
   other.mDb = nullptr;
}

SqliteConnection::~SqliteConnection()
{
   if (mDb != nullptr) {
      sqlite3_close_v2(mDb);
   }
}

void SqliteConnection::Fail(int rc, const std::string &what) const
{
   std::string detail = what + ": ";
   detail += mDb != nullptr ? sqlite3_errmsg(mDb) : sqlite3_errstr(rc);
   throw ConfigStoreException(CodeForSqlite(rc), mPath, detail);
}

void SqliteConnection::Exec(const char *sql)
{
   int rc = sqlite3_exec(mDb, sql, nullptr, nullptr, nullptr);
   if (rc != SQLITE_OK) {
      Fail(rc, sql);
   }
}

std::string SqliteConnection::QueryText(const char *sql)
{
   SqliteStatement statement(*this, sql);
   return statement.Step() ? statement.ColumnText(0) : std::string();
}

int64_t SqliteConnection::QueryInt(const char *sql)
{
   SqliteStatement statement(*this, sql);
   return statement.Step() ? statement.ColumnInt(0) : 0;
}

SqliteStatement::SqliteStatement(SqliteConnection &connection, const char *sql)
   : mConnection(connection)
{
   int rc = sqlite3_prepare_v2(connection.Handle(), sql, -1, &mStatement, nullptr);
   if (rc != SQLITE_OK) {
      connection.Fail(rc, "prepare");
   }
}

SqliteStatement::~SqliteStatement()
{
   sqlite3_finalize(mStatement);
}

SqliteStatement &SqliteStatement::Bind(int index, const std::string &text)
{
   int rc = sqlite3_bind_text64(mStatement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                SQLITE_UTF8);
   if (rc != SQLITE_OK) {
      mConnection.Fail(rc, "bind");
   }
   return *this;
}

SqliteStatement &SqliteStatement::Bind(int index, int64_t value)
{
   int rc = sqlite3_bind_int64(mStatement, index, value);
   if (rc != SQLITE_OK) {
      mConnection.Fail(rc, "bind");
   }
   return *this;
}

SqliteStatement &SqliteStatement::BindNull(int index)
{
   int rc = sqlite3_bind_null(mStatement, index);
   if (rc != SQLITE_OK) {
      mConnection.Fail(rc, "bind");
   }
   return *this;
}

bool SqliteStatement::Step()
{
   int rc = sqlite3_step(mStatement);
   if (rc == SQLITE_ROW) {
      return true;
   }
   if (rc == SQLITE_DONE) {
      return false;
   }
   mConnection.Fail(rc, "step");
}

void SqliteStatement::Run()
{
   while (Step()) {
   }
}

void SqliteStatement::Reset()
{
   sqlite3_reset(mStatement);
   sqlite3_clear_bindings(mStatement);
}

int64_t SqliteStatement::ColumnInt(int column) const
{
   return sqlite3_column_int64(mStatement, column);
}

std::string SqliteStatement::ColumnText(int column) const
{
   const unsigned char *text = sqlite3_column_text(mStatement, column);
   int size = sqlite3_column_bytes(mStatement, column);
   if (text == nullptr || size <= 0) {
      return std::string();
   }
   return std::string(reinterpret_cast<const char *>(text), static_cast<size_t>(size));
}

bool SqliteStatement::ColumnIsNull(int column) const
{
   return sqlite3_column_type(mStatement, column) == SQLITE_NULL;
}

SqliteTransaction::SqliteTransaction(SqliteConnection &connection, bool write)
   : mConnection(connection)
{
   mConnection.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
}

SqliteTransaction::~SqliteTransaction()
{
   if (mOpen && sqlite3_get_autocommit(mConnection.Handle()) == 0) {
      sqlite3_exec(mConnection.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
   }
}

void SqliteTransaction::Commit()
{
   mConnection.Exec("COMMIT");
   mOpen = false;
}

} // namespace BrimConfigStore
