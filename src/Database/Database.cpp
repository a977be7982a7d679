// Database/Database.cpp: connections, transactions and the three-try query.
//
// No rollback is ever sent: closing a connection with an open transaction
// discards it, which is all a failed operation needs.
#include "Database/Database.h"

#include <cstdlib>

#include "Common/Logger.h"

namespace {

constexpr int kQueryTries = 3;

// Owns a message from sqlite3_exec (freed with sqlite3_free).
struct SqliteFree {
  void operator()(char* text) const { sqlite3_free(text); }
};
using SqliteMessage = std::unique_ptr<char, SqliteFree>;

// Owns a result table from sqlite3_get_table.
struct SqliteTableFree {
  void operator()(char** table) const { sqlite3_free_table(table); }
};
using SqliteTable = std::unique_ptr<char*, SqliteTableFree>;

// Runs sql on db without a row callback. On failure writes the record
// failed, copies SQLite's message into errMsg and returns false.
bool runStatements(sqlite3* db, const std::string& sql, LogId failed, std::string& errMsg) {
  char* rawMessage = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &rawMessage);
  SqliteMessage message(rawMessage);
  if (rc == SQLITE_OK) return true;
  writeLog(failed);
  errMsg = message ? message.get() : sqlite3_errmsg(db);
  return false;
}

constexpr const char* kBegin = "BEGIN TRANSACTION;";
constexpr const char* kCommit = "COMMIT;";
constexpr const char* kStatementSavepoint = "SAVEPOINT ombrix_statement;";
constexpr const char* kStatementRelease = "RELEASE ombrix_statement;";
constexpr const char* kStatementUndo = "ROLLBACK TO ombrix_statement; RELEASE ombrix_statement;";
constexpr const char* kFileSavepoint = "SAVEPOINT ombrix_file;";
constexpr const char* kFileRelease = "RELEASE ombrix_file;";
constexpr const char* kFileUndo = "ROLLBACK TO ombrix_file; RELEASE ombrix_file;";

// Runs bookkeeping text whose failure leaves nothing more to do (undoing a
// savepoint of a statement that already failed).
void runQuietly(sqlite3* db, const char* sql) {
  sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

}  // namespace

Database::Database(std::string path) : filePath(std::move(path)) {}

Database::~Database() {
  std::string errMsg;
  commitGroup(errMsg);  // a failure is logged there; nobody is left to tell
}

SqliteHandle Database::openConnection(std::optional<LogId> openFailed, std::string& errMsg) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open(filePath.c_str(), &raw);
  SqliteHandle db(raw);
  if (rc != SQLITE_OK) {
    if (openFailed) writeLog(*openFailed);
    errMsg = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return db;
}

int64_t Database::execute(const std::string& sql, std::string& errMsg) {
  if (group) {
    if (!runStatements(group.get(), kStatementSavepoint, LogId::BeginFailedInExecute, errMsg))
      return -1;
    if (!runStatements(group.get(), sql, LogId::ExecFailedInExecute, errMsg)) {
      runQuietly(group.get(), kStatementUndo);
      return -1;
    }
    int64_t rowId = sqlite3_last_insert_rowid(group.get());
    runQuietly(group.get(), kStatementRelease);
    return rowId;
  }
  SqliteHandle db = openConnection(LogId::OpenFailedInExecute, errMsg);
  if (!db) return -1;
  if (!runStatements(db.get(), kBegin, LogId::BeginFailedInExecute, errMsg)) return -1;
  if (!runStatements(db.get(), sql, LogId::ExecFailedInExecute, errMsg)) return -1;
  int64_t rowId = sqlite3_last_insert_rowid(db.get());
  if (!runStatements(db.get(), kCommit, LogId::CommitFailedInExecute, errMsg)) return -1;
  return rowId;  // the final close's result does not change a committed write
}

bool Database::beginTransaction(std::string& errMsg) {
  if (group) return beginFileSavepoint(errMsg);
  handle = openConnection(LogId::OpenFailedInBegin, errMsg);
  if (!handle) return false;
  if (!runStatements(handle.get(), kBegin, LogId::BeginFailedInBegin, errMsg)) {
    handle.reset();
    return false;
  }
  return true;
}

int64_t Database::executeInTransaction(const std::string& sql, std::string& errMsg) {
  if (isFileSavepointOpen) return executeInFileSavepoint(sql, errMsg);
  if (!handle) {
    errMsg = "no transaction is open";
    return -1;
  }
  if (!runStatements(handle.get(), sql, LogId::ExecFailedInTransaction, errMsg)) {
    handle.reset();  // discards everything since beginTransaction
    return -1;
  }
  return sqlite3_last_insert_rowid(handle.get());
}

bool Database::commitTransaction(std::string& errMsg) {
  if (isFileSavepointOpen) {
    isFileSavepointOpen = false;
    // Durable only with the group's commit; afterCommit actions wait for it.
    return runStatements(group.get(), kFileRelease, LogId::CommitFailedInCommit, errMsg);
  }
  if (!handle) {
    errMsg = "no transaction is open";
    return false;
  }
  bool committed = runStatements(handle.get(), kCommit, LogId::CommitFailedInCommit, errMsg);
  handle.reset();  // the close's result does not change whether COMMIT took
  return committed;
}

Lookup Database::queryValue(const std::string& sql, std::string& errMsg) {
  sqlite3* db = readConnection(errMsg);  // an open failure here is not logged
  if (db == nullptr) return Lookup::failed();
  for (int tries = 1;; ++tries) {
    char** rawTable = nullptr;
    int rows = 0;
    int columns = 0;
    char* rawMessage = nullptr;
    int rc = sqlite3_get_table(db, sql.c_str(), &rawTable, &rows, &columns, &rawMessage);
    SqliteTable table(rawTable);
    SqliteMessage message(rawMessage);
    if (rc == SQLITE_OK) {
      // The first row's first cell follows the column names.
      if (rows < 1 || columns < 1) return Lookup::notFound();
      const char* cell = table.get()[columns];
      return Lookup::found(cell == nullptr ? 0 : std::atoll(cell));  // NULL reads as no number
    }
    if (tries >= kQueryTries) {
      writeLog(LogId::QueryGaveUp);
      errMsg = message ? message.get() : sqlite3_errmsg(db);
      return Lookup::failed();
    }
    // No pause between tries: each attempt already waits the busy timeout.
  }
}

sqlite3* Database::readConnection(std::string& errMsg) {
  if (group) return group.get();
  if (!reader) reader = openConnection(std::nullopt, errMsg);
  return reader.get();
}

bool Database::beginGroup(std::string& errMsg) {
  if (group) return true;
  group = openConnection(LogId::OpenFailedInExecute, errMsg);
  if (!group) return false;
  if (!runStatements(group.get(), kBegin, LogId::BeginFailedInExecute, errMsg)) {
    group.reset();
    return false;
  }
  groupOpenedAt = std::chrono::steady_clock::now();
  return true;
}

bool Database::commitGroup(std::string& errMsg) {
  if (!group) return true;
  isFileSavepointOpen = false;
  std::vector<std::function<void()>> actions;
  actions.swap(pendingActions);
  bool committed = runStatements(group.get(), kCommit, LogId::CommitFailedInExecute, errMsg);
  group.reset();  // closing discards the transaction if COMMIT failed
  if (!committed) return false;
  for (const std::function<void()>& action : actions) action();
  return true;
}

void Database::afterCommit(std::function<void()> action) {
  if (group) {
    pendingActions.push_back(std::move(action));
  } else {
    action();
  }
}

bool Database::beginFileSavepoint(std::string& errMsg) {
  if (!runStatements(group.get(), kFileSavepoint, LogId::BeginFailedInBegin, errMsg)) return false;
  isFileSavepointOpen = true;
  return true;
}

// Like a failing statement of the three-step transaction, a failure undoes
// what the file wrote so far; the rest of the group stays.
int64_t Database::executeInFileSavepoint(const std::string& sql, std::string& errMsg) {
  if (!runStatements(group.get(), sql, LogId::ExecFailedInTransaction, errMsg)) {
    runQuietly(group.get(), kFileUndo);
    isFileSavepointOpen = false;
    return -1;
  }
  return sqlite3_last_insert_rowid(group.get());
}
