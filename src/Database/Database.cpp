// Database/Database.cpp: the connection, prepared statements, transactions,
// savepoints and the retried COMMIT.
//
// A failed statement is undone to its savepoint, or its transaction rolled
// back, before the call returns, so the connection never carries a half
// operation into the next one. SQLite may drop a whole transaction after
// some errors (a full disk, a busy spill of its cache); a group dropped that
// way is treated as one whose COMMIT failed.
#include "Database/Database.h"

#include <optional>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"

namespace {

constexpr int kQueryTries = 3;

constexpr const char* kBegin = "BEGIN TRANSACTION;";
constexpr const char* kCommit = "COMMIT;";
constexpr const char* kRollback = "ROLLBACK;";
// SQLite's default cache (2 MB) was the largest part of the daemon during a
// build, and bought nothing: each path is looked up once per walk, rows are
// appended, and the pages it would keep stay in the kernel's page cache
// anyway. A full check at 10,000 files takes the same time with this one.
constexpr const char* kCacheSize = "PRAGMA cache_size = -256;";  // KiB
constexpr const char* kStatementSavepoint = "SAVEPOINT ombrix_statement;";
constexpr const char* kStatementRelease = "RELEASE ombrix_statement;";
constexpr const char* kStatementUndo = "ROLLBACK TO ombrix_statement; RELEASE ombrix_statement;";
constexpr const char* kFileSavepoint = "SAVEPOINT ombrix_file;";
constexpr const char* kFileRelease = "RELEASE ombrix_file;";
constexpr const char* kFileUndo = "ROLLBACK TO ombrix_file; RELEASE ombrix_file;";

// Owns a message from sqlite3_exec (freed with sqlite3_free).
struct SqliteFree {
  void operator()(char* text) const { sqlite3_free(text); }
};
using SqliteMessage = std::unique_ptr<char, SqliteFree>;

Status errorStatus(int rc, const char* message) {
  bool isBusy = (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
  return {isBusy ? Status::Code::Busy : Status::Code::Failed, message};
}

bool isInTransaction(sqlite3* db) {
  return sqlite3_get_autocommit(db) == 0;
}

}  // namespace

Database::Database(std::string path) : filePath(std::move(path)) {}

Database::~Database() {
  commitGroup();  // a failure is logged there; nobody is left to tell
  if (db && isInTransaction(db.get())) exec(db.get(), kRollback);  // a file never committed
}

sqlite3* Database::connection(std::optional<LogId> openFailed, Status& status) {
  if (db) return db.get();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open(filePath.c_str(), &raw);
  SqliteHandle opened(raw);
  if (rc != SQLITE_OK) {
    if (openFailed) writeLog(*openFailed);
    status = {Status::Code::Failed, opened ? sqlite3_errmsg(opened.get()) : sqlite3_errstr(rc)};
    return nullptr;
  }
  sqlite3_busy_timeout(opened.get(), kBusyTimeoutMs);
  // Only memory depends on it; a refusal leaves the default cache.
  (void)exec(opened.get(), kCacheSize);
  db = std::move(opened);
  return db.get();
}

Status Database::exec(sqlite3* conn, const char* sql) {
  char* rawMessage = nullptr;
  int rc = sqlite3_exec(conn, sql, nullptr, nullptr, &rawMessage);
  SqliteMessage message(rawMessage);
  if (rc == SQLITE_OK) return Status::ok();
  return errorStatus(rc, message ? message.get() : sqlite3_errmsg(conn));
}

sqlite3_stmt* Database::prepare(sqlite3* conn, const char* sql, SqlValues values, Status& status) {
  StatementHandle& cached = statements[sql];
  if (!cached) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(conn, sql, -1, &raw, nullptr);
    cached.reset(raw);
    if (rc != SQLITE_OK) {
      status = errorStatus(rc, sqlite3_errmsg(conn));
      statements.erase(sql);
      return nullptr;
    }
  }
  sqlite3_stmt* statement = cached.get();
  sqlite3_clear_bindings(statement);
  int index = 1;
  for (const SqlValue& value : values) {
    int rc = value.kind == SqlValue::Kind::Integer
                 ? sqlite3_bind_int64(statement, index, value.integer)
                 : sqlite3_bind_text64(statement, index, value.text.data(), value.text.size(),
                                       SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) {
      status = errorStatus(rc, sqlite3_errmsg(conn));
      return nullptr;
    }
    ++index;
  }
  return statement;
}

// For the transaction texts, each one statement: prepared once, not parsed
// at every use (a walk runs thousands).
Status Database::execOne(sqlite3* conn, const char* sql) {
  Status status;
  sqlite3_stmt* statement = prepare(conn, sql, {}, status);
  return statement == nullptr ? status : step(conn, statement);
}

// The statement is reset before returning, so it holds no lock afterwards.
Status Database::step(sqlite3* conn, sqlite3_stmt* statement) {
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(statement);
  Status status = rc == SQLITE_DONE ? Status::ok() : errorStatus(rc, sqlite3_errmsg(conn));
  sqlite3_reset(statement);
  return status;
}

// Each try waits the busy timeout for the readers; while our COMMIT waits,
// SQLite's pending lock lets no new reader in, so the wait ends once the
// readers there now are done.
Status Database::commit(sqlite3* conn, LogId failed) {
  for (int tries = 1;; ++tries) {
    Status status = TestSeams::shouldFail(TestSeams::Fault::CommitBusy)
                        ? Status{Status::Code::Busy, "database is locked"}
                        : execOne(conn, kCommit);
    if (status.isOk()) return status;
    if (status.code != Status::Code::Busy || tries >= kCommitTries || exitRequested()) {
      writeLog(failed);
      return status;
    }
    writeLog(LogId::CommitBusy);
  }
}

void Database::undo(sqlite3* conn, const char* savepointUndo) {
  if (!isInTransaction(conn)) {
    if (group) discardGroup();  // SQLite dropped the group itself
    return;
  }
  exec(conn, group ? savepointUndo : kRollback);
}

// In a group one statement needs no savepoint of its own: SQLite undoes a
// failed statement by itself, and a group it drops instead is noticed.
IdResult Database::runAlone(LogId openFailed, LogId beginFailed, LogId execFailed,
                            LogId commitFailed, bool isOneStatement,
                            const std::function<Status(sqlite3*)>& body) {
  Status status;
  sqlite3* conn = connection(openFailed, status);
  if (conn == nullptr) return {status};
  bool isSavepoint = group && !isOneStatement;
  if (!(group && isOneStatement) &&
      !(status = execOne(conn, isSavepoint ? kStatementSavepoint : kBegin)).isOk()) {
    writeLog(beginFailed);
    undo(conn, kStatementUndo);
    return {status};
  }
  if (!(status = body(conn)).isOk()) {
    writeLog(execFailed);
    if (isSavepoint || !group) undo(conn, kStatementUndo);
    if (group && !isInTransaction(conn)) discardGroup();  // SQLite dropped the group
    return {status};
  }
  int64_t rowId = sqlite3_last_insert_rowid(conn);
  if (group && !isSavepoint) return IdResult::of(rowId);
  status = group ? execOne(conn, kStatementRelease) : commit(conn, commitFailed);
  if (!status.isOk()) {
    if (group) writeLog(execFailed);
    undo(conn, kStatementUndo);
    return {status};
  }
  return IdResult::of(rowId);
}

Status Database::runScript(const char* sql) {
  return runAlone(LogId::OpenFailedInExecute, LogId::BeginFailedInExecute,
                  LogId::ExecFailedInExecute, LogId::CommitFailedInExecute, false,
                  [this, sql](sqlite3* conn) { return exec(conn, sql); })
      .status;
}

IdResult Database::run(const char* sql, SqlValues values) {
  return runAlone(LogId::OpenFailedInExecute, LogId::BeginFailedInExecute,
                  LogId::ExecFailedInExecute, LogId::CommitFailedInExecute, true,
                  [this, sql, values](sqlite3* conn) {
                    Status status;
                    sqlite3_stmt* statement = prepare(conn, sql, values, status);
                    return statement == nullptr ? status : step(conn, statement);
                  });
}

// Read through the one connection, so inside a group the group's own rows
// are seen. An open failure here is not logged: the third failed try is.
IdResult Database::queryId(const char* sql, SqlValues values, int64_t* second) {
  Status status;
  sqlite3* conn = connection(std::nullopt, status);
  if (conn == nullptr) return {status};
  if (TestSeams::shouldFail(TestSeams::Fault::LookupFails)) {
    writeLog(LogId::QueryGaveUp);
    return {{Status::Code::Failed, "disk I/O error"}};
  }
  for (int tries = 1;; ++tries) {
    sqlite3_stmt* statement = prepare(conn, sql, values, status);
    if (statement != nullptr) {
      int rc = sqlite3_step(statement);
      IdResult result;
      if (rc == SQLITE_ROW) result = IdResult::of(sqlite3_column_int64(statement, 0));
      if (rc == SQLITE_ROW && second != nullptr) *second = sqlite3_column_int64(statement, 1);
      if (rc == SQLITE_DONE) result = {Status::notFound()};
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) status = errorStatus(rc, sqlite3_errmsg(conn));
      sqlite3_reset(statement);  // ends the read: no lock is held between queries
      if (rc == SQLITE_ROW || rc == SQLITE_DONE) return result;
    }
    if (tries >= kQueryTries) {
      writeLog(LogId::QueryGaveUp);
      if (group && !isInTransaction(conn)) discardGroup();
      return {status};
    }
    // No pause between tries: each attempt already waits the busy timeout.
  }
}

Status Database::beginFile() {
  Status status;
  sqlite3* conn = connection(LogId::OpenFailedInBegin, status);
  if (conn == nullptr) return status;
  if (!(status = execOne(conn, group ? kFileSavepoint : kBegin)).isOk()) {
    writeLog(LogId::BeginFailedInBegin);
    undo(conn, kFileUndo);
    return status;
  }
  isFileOpen = true;
  return status;
}

IdResult Database::runInFile(const char* sql, SqlValues values) {
  if (!isFileOpen) return {{Status::Code::Failed, "no transaction is open"}};
  sqlite3* conn = db.get();
  Status status;
  sqlite3_stmt* statement = prepare(conn, sql, values, status);
  if (statement != nullptr) status = step(conn, statement);
  if (!status.isOk()) {
    writeLog(LogId::ExecFailedInTransaction);
    isFileOpen = false;
    undo(conn, kFileUndo);  // nothing of the file stays
    return {status};
  }
  return IdResult::of(sqlite3_last_insert_rowid(conn));
}

// Inside a group the file's rows become durable only with the group's
// commit; afterCommit actions wait for it.
Status Database::commitFile() {
  if (!isFileOpen) return {Status::Code::Failed, "no transaction is open"};
  isFileOpen = false;
  sqlite3* conn = db.get();
  Status status = group ? execOne(conn, kFileRelease) : commit(conn, LogId::CommitFailedInCommit);
  if (!status.isOk()) {
    if (group) writeLog(LogId::CommitFailedInCommit);
    undo(conn, kFileUndo);
  }
  return status;
}

Status Database::beginGroup() {
  if (group) return Status::ok();
  Status status;
  sqlite3* conn = connection(LogId::OpenFailedInExecute, status);
  if (conn == nullptr) return status;
  if (!(status = execOne(conn, kBegin)).isOk()) {
    writeLog(LogId::BeginFailedInExecute);
    return status;
  }
  group = true;
  groupOpenedAt = std::chrono::steady_clock::now();
  return status;
}

Status Database::commitGroup() {
  if (!group) return Status::ok();
  isFileOpen = false;
  sqlite3* conn = db.get();
  Status status = isInTransaction(conn) ? commit(conn, LogId::CommitFailedInExecute)
                                        : Status{Status::Code::Failed, "transaction dropped"};
  if (!status.isOk()) {
    if (isInTransaction(conn)) exec(conn, kRollback);
    discardGroup();
    return status;
  }
  group = false;
  discardActions.clear();
  std::vector<std::function<void()>> actions;
  actions.swap(commitActions);
  for (const std::function<void()>& action : actions) action();
  return status;
}

void Database::discardGroup() {
  group = false;
  isFileOpen = false;
  commitActions.clear();
  std::vector<std::function<void()>> actions;
  actions.swap(discardActions);
  for (const std::function<void()>& action : actions) action();
}

bool Database::groupAge(std::chrono::milliseconds& age) const {
  if (!group) return false;
  age = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                              groupOpenedAt);
  return true;
}

void Database::afterCommit(std::function<void()> action) {
  if (group) {
    commitActions.push_back(std::move(action));
  } else {
    action();
  }
}

void Database::afterDiscard(std::function<void()> action) {
  if (group) discardActions.push_back(std::move(action));
}
