// Database/Database.h: the only code that opens the catalogue file.
//
// Each operation opens its own connection and closes it before returning: the
// media server reads the same file, and a connection kept between operations
// would hold its readers up. Every connection waits up to 1000 ms for a lock
// another process holds. Log records here carry the source name
// "Database/Database".
//
// Error text: every operation copies SQLite's message into errMsg when it
// fails and leaves errMsg untouched when it succeeds.
#ifndef OMBRIX_DATABASE_DATABASE_H
#define OMBRIX_DATABASE_DATABASE_H

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/LogContract.h"

// sqlite3_open() returns a handle even when it fails, and that handle must
// still be closed, so it is wrapped before rc is looked at.
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// What a one-value query found. A failed query is not "no row": the caller
// cannot tell whether the row is there, and must not act as if it were not.
struct Lookup {
  enum class Status { Found, NotFound, Failed };
  Status status;
  int64_t value;  // meaningful when found

  static Lookup found(int64_t v) { return {Status::Found, v}; }
  static Lookup notFound() { return {Status::NotFound, -1}; }
  static Lookup failed() { return {Status::Failed, -1}; }
  bool isFound() const { return status == Status::Found; }
  bool isFailed() const { return status == Status::Failed; }
  // The value, or -1 when there is none: an ID's own "not known".
  int64_t idOrNone() const { return isFound() ? value : -1; }
};

class Database {
 public:
  static constexpr int kBusyTimeoutMs = 1000;

  explicit Database(std::string filePath);
  // Commits a write group left open, so nothing written is lost silently.
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs sql (one or more statements) in its own connection and transaction.
  // Returns the last inserted row ID (0 if none), or -1. A failing statement
  // discards every statement of sql, including those before it.
  int64_t execute(const std::string& sql, std::string& errMsg);

  // The three-step transaction that writes a file's two rows together. After
  // a false from beginTransaction or a -1 from executeInTransaction the
  // connection is closed and the sequence must not go on.
  bool beginTransaction(std::string& errMsg);
  int64_t executeInTransaction(const std::string& sql, std::string& errMsg);
  // True when COMMIT took: the two rows are in the file (inside a write
  // group, they will be with the group's commit).
  bool commitTransaction(std::string& errMsg);

  // Runs a one-column query, tried three times. Gives the first row's value
  // as atoll reads it, not found when no row matched (errMsg left alone), or
  // failed after the third try.
  Lookup queryValue(const std::string& sql, std::string& errMsg);

  // ---- Write groups ----
  // A walk writes hundreds of rows a second; a commit of its own for each
  // costs a sync of the file each. While a group is open, execute() and the
  // three-step transaction run inside one shared write transaction, each in a
  // savepoint of its own: a failing text still leaves nothing of itself and
  // loses nothing of the others. queryValue() then reads through the same
  // connection, so it sees the group's rows. The caller keeps a group open
  // only briefly (WriteGroup), so the media server's reads never wait long.
  bool beginGroup(std::string& errMsg);
  // Makes the group durable and runs the actions queued with afterCommit.
  // On failure nothing of the group is in the file and the actions are
  // dropped. Committing when no group is open succeeds and does nothing.
  bool commitGroup(std::string& errMsg);
  // How long the open group has been open; false with none open.
  bool groupAge(std::chrono::milliseconds& age) const {
    if (group == nullptr) return false;
    age = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                groupOpenedAt);
    return true;
  }
  // Runs action once what was written so far is durable: at once outside a
  // group, after the group's commit inside one.
  void afterCommit(std::function<void()> action);

 private:
  // Opens filePath with the busy timeout set; on failure writes the record
  // openFailed (when given), copies the open error into errMsg and returns
  // null.
  SqliteHandle openConnection(std::optional<LogId> openFailed, std::string& errMsg);

  // The three steps of a file's transaction inside an open group.
  bool beginFileSavepoint(std::string& errMsg);
  int64_t executeInFileSavepoint(const std::string& sql, std::string& errMsg);
  // The connection for a query: the group's, else a read connection kept for
  // the life of this object (opening one costs more than most queries).
  sqlite3* readConnection(std::string& errMsg);

  std::string filePath;
  SqliteHandle handle;  // the open three-step transaction, if any
  SqliteHandle group;   // the open write group, if any
  SqliteHandle reader;  // holds no lock between queries
  bool isFileSavepointOpen = false;
  std::chrono::steady_clock::time_point groupOpenedAt;
  std::vector<std::function<void()>> pendingActions;
};

#endif  // OMBRIX_DATABASE_DATABASE_H
