// Thin RAII layer over one SQLite connection that turns every failure into a
// ConfigStoreException naming the database path.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

namespace BrimConfigStore {

class SqliteConnection {
public:
   // Opens (creating when missing) a regular, non-symlinked database file with
   // the defensive flag set. Checks nothing about its content.
   static SqliteConnection Open(const std::string &path);

   SqliteConnection(SqliteConnection &&other) noexcept;
   SqliteConnection &operator=(SqliteConnection &&) = delete;
   SqliteConnection(const SqliteConnection &) = delete;
   ~SqliteConnection();

   sqlite3 *Handle() const { return mDb; }
   const std::string &Path() const { return mPath; }

   // Runs SQL without results (may hold several statements).
   void Exec(const char *sql);
   // First column of the first row of a one-statement query, as text.
   std::string QueryText(const char *sql);
   int64_t QueryInt(const char *sql);

   [[noreturn]] void Fail(int rc, const std::string &what) const;

private:
   SqliteConnection(std::string path, sqlite3 *db) : mPath(std::move(path)), mDb(db) {}

   std::string mPath;
   sqlite3 *mDb;
};

class SqliteStatement {
public:
   SqliteStatement(SqliteConnection &connection, const char *sql);
   ~SqliteStatement();
   SqliteStatement(const SqliteStatement &) = delete;
   SqliteStatement &operator=(const SqliteStatement &) = delete;

   SqliteStatement &Bind(int index, const std::string &text);
   SqliteStatement &Bind(int index, int64_t value);
   SqliteStatement &BindNull(int index);

   // True while a row is available; false when done.
   bool Step();
   // Steps a statement that returns no rows.
   void Run();
   void Reset();

   int64_t ColumnInt(int column) const;
   std::string ColumnText(int column) const;
   bool ColumnIsNull(int column) const;

private:
   SqliteConnection &mConnection;
   sqlite3_stmt *mStatement = nullptr;
};

// BEGIN IMMEDIATE (writes) or BEGIN (reads) now; ROLLBACK unless committed.
class SqliteTransaction {
public:
   SqliteTransaction(SqliteConnection &connection, bool write);
   ~SqliteTransaction();
   SqliteTransaction(const SqliteTransaction &) = delete;
   SqliteTransaction &operator=(const SqliteTransaction &) = delete;

   void Commit();

private:
   SqliteConnection &mConnection;
   bool mOpen = true;
};

} // namespace BrimConfigStore
