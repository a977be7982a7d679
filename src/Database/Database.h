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

#include <cstdint>
#include <memory>
#include <string>

#include "Common/Logger.h"

// sqlite3_open() returns a handle even when it fails, and that handle must
// still be closed, so it is wrapped before rc is looked at.
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

class Database {
 public:
  static constexpr int kBusyTimeoutMs = 1000;

  explicit Database(std::string filePath);

  // Runs sql (one or more statements) in its own connection and transaction.
  // Returns the last inserted row ID (0 if none), or -1. A failing statement
  // discards every statement of sql, including those before it.
  int64_t execute(const std::string& sql, std::string& errMsg);

  // The three-step transaction that writes a file's two rows together. After
  // a false from beginTransaction or a -1 from executeInTransaction the
  // connection is closed and the sequence must not go on.
  bool beginTransaction(std::string& errMsg);
  int64_t executeInTransaction(const std::string& sql, std::string& errMsg);
  // False when COMMIT failed, or when the close after it did (the data is
  // committed in that case, and nothing is logged or copied).
  bool commitTransaction(std::string& errMsg);

  // Runs a one-column query, tried three times. Returns the first row's value
  // as atoll reads it, or -1 when the query failed or matched no row (errMsg
  // is left alone when it matched nothing).
  int64_t queryValue(const std::string& sql, std::string& errMsg);

  const std::string& getFilePath() const { return filePath; }

 private:
  // Opens filePath with the busy timeout set; on failure logs openFailed
  // (when given), copies the open error into errMsg and returns null.
  SqliteHandle openConnection(const LogSite* openFailed, std::string& errMsg);

  std::string filePath;
  SqliteHandle handle;  // the open three-step transaction, if any
};

#endif  // OMBRIX_DATABASE_DATABASE_H
