// Database/Database.h: the only code that opens the catalogue file.
//
// A Database lives for one top-level operation (a build, a check, an
// adjustment) and keeps one connection for that time, with its statements
// prepared once. The connection holds no lock between statements: every
// statement is reset as soon as it has run, and writes are committed at once
// or within a write group kept open for a fraction of a second, so the media
// server that reads the same file never waits long. Every connection waits up
// to 1000 ms for a lock another process holds.
//
// Values never become statement text: every statement is a fixed text whose
// values are bound (sqlite3_bind_*), so a quote, a ";" or a NUL in a file
// name or a tag is stored as it is and can never change what runs.
//
// Results say what happened (Status). Busy is not Failed: a busy COMMIT is
// retried here, since SQLite keeps the transaction open; NotFound is only
// ever "the query ran and matched no row". Log records carry the source name
// "Database/Database".
#ifndef OMBRIX_DATABASE_DATABASE_H
#define OMBRIX_DATABASE_DATABASE_H

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Common/LogContract.h"

// sqlite3_open() returns a handle even when it fails, and that handle must
// still be closed, so it is wrapped before rc is looked at.
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// What an operation on the catalogue did. The message is SQLite's text when
// the code is Busy or Failed.
struct Status {
  enum class Code { Ok, NotFound, Busy, Failed };
  Code code = Code::Ok;
  std::string message;

  static Status ok() { return {}; }
  static Status notFound() { return {Code::NotFound, ""}; }
  bool isOk() const { return code == Code::Ok; }
  bool isNotFound() const { return code == Code::NotFound; }
  // Busy or Failed: the operation did not happen, and nothing can be
  // concluded from it (a look-up that failed says nothing about the row).
  bool isError() const { return code == Code::Busy || code == Code::Failed; }
};

// A row ID with the status that produced it; id is meaningful only when
// the status is Ok.
struct IdResult {
  Status status;
  int64_t id = -1;

  static IdResult of(int64_t value) { return {Status::ok(), value}; }
  bool isOk() const { return status.isOk(); }
};

// A value bound to a statement's next "?".
struct SqlValue {
  enum class Kind { Integer, Text };
  Kind kind;
  int64_t integer = 0;
  std::string_view text;

  SqlValue(int64_t value) : kind(Kind::Integer), integer(value) {}  // NOLINT: implicit on purpose
  SqlValue(std::string_view value) : kind(Kind::Text), text(value) {}    // NOLINT
  SqlValue(const std::string& value) : kind(Kind::Text), text(value) {}  // NOLINT
};
using SqlValues = std::initializer_list<SqlValue>;

class Database {
 public:
  static constexpr int kBusyTimeoutMs = 1000;
  // How many times a busy COMMIT is tried: each try waits the busy timeout,
  // so a reader has about a minute to finish before the group is given up.
  static constexpr int kCommitTries = 60;

  explicit Database(std::string filePath);
  // Commits a write group left open, so nothing written is lost silently.
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs a fixed script (one or more statements, no values) in a
  // transaction of its own, or in a savepoint of the open group. A failing
  // statement leaves nothing of the script.
  Status runScript(const char* sql);
  // Runs one statement with values bound, likewise; on success the ID is
  // the last inserted row ID (0 when it inserted nothing).
  IdResult run(const char* sql, SqlValues values);
  // The first column of the first row of a query (and the second into
  // *second, when given), tried three times; the status is NotFound when no
  // row matched.
  IdResult queryId(const char* sql, SqlValues values, int64_t* second = nullptr);

  // A file's rows go in together: beginFile, runInFile once or more,
  // commitFile. After a failure of any step nothing of the file is left and
  // the sequence must not go on. Inside a group the file is a savepoint and
  // becomes durable with the group's commit.
  Status beginFile();
  IdResult runInFile(const char* sql, SqlValues values);
  Status commitFile();

  // ---- Write groups ----
  // A walk writes hundreds of rows a second; a commit of its own for each
  // costs a sync of the file each. While a group is open, every write runs
  // inside one shared write transaction, each in a savepoint of its own: a
  // failing statement still leaves nothing of itself and loses nothing of
  // the others. The caller keeps a group open only briefly (WriteGroup).
  Status beginGroup();
  // Makes the group durable, retrying a busy COMMIT, and runs the actions
  // queued with afterCommit. When the group cannot land (or SQLite dropped
  // it after a failed statement) nothing of it is in the file, the IDs it
  // handed out will be handed out again, and the actions queued with
  // afterDiscard run instead. Committing with no group open succeeds.
  Status commitGroup();
  bool isGroupOpen() const { return group; }
  // How long the open group has been open; false with none open.
  bool groupAge(std::chrono::milliseconds& age) const;
  // Runs action once what was written so far is durable: at once outside a
  // group, after the group's commit inside one.
  void afterCommit(std::function<void()> action);
  // Runs action if the open group is lost; never outside a group.
  void afterDiscard(std::function<void()> action);

 private:
  // The connection, opened on first use; null with status set (and the
  // record openFailed written, when given) when the file cannot be opened.
  sqlite3* connection(std::optional<LogId> openFailed, Status& status);
  // The prepared statement for sql, reset, with values bound; null with
  // status set when it cannot be prepared.
  sqlite3_stmt* prepare(sqlite3* db, const char* sql, SqlValues values, Status& status);
  // Steps a write statement to its end.
  Status step(sqlite3* db, sqlite3_stmt* statement);
  Status exec(sqlite3* db, const char* sql);
  Status execOne(sqlite3* db, const char* sql);
  // COMMIT, tried again while it is busy and the exit flag is down.
  Status commit(sqlite3* db, LogId failed);
  // A statement or script in a transaction of its own or a savepoint of
  // the group: undoes it when it fails, and notices a group SQLite dropped.
  IdResult runAlone(LogId openFailed, LogId beginFailed, LogId execFailed, LogId commitFailed,
                    bool isOneStatement, const std::function<Status(sqlite3*)>& body);
  void undo(sqlite3* db, const char* savepointUndo);
  void discardGroup();

  std::string filePath;
  SqliteHandle db;
  std::map<const char*, StatementHandle> statements;  // by their (static) text
  bool group = false;
  bool isFileOpen = false;
  std::chrono::steady_clock::time_point groupOpenedAt;
  std::vector<std::function<void()>> commitActions;
  std::vector<std::function<void()>> discardActions;
};

#endif  // OMBRIX_DATABASE_DATABASE_H
