// Database/Database.cpp: connections, transactions and the three-try query.
//
// No rollback is ever sent: closing a connection with an open transaction
// discards it, which is all a failed operation needs.
#include "Database/Database.h"

#include <cstdlib>

#include "Common/Logger.h"

namespace {

constexpr const char* kLogSource = "Database/Database";

constexpr LogSite kOpenFailedExecute{1, 32, "db error at open\n"};
constexpr LogSite kOpenFailedBegin{1, 74, "db error at open\n"};
constexpr LogSite kBeginFailedExecute{2, 41, "db error at begin transaction\n"};
constexpr LogSite kBeginFailedBegin{2, 83, "db error at begin transaction\n"};
constexpr LogSite kExecFailedExecute{2, 49, "db error at exec\n"};
constexpr LogSite kExecFailedInTransaction{2, 97, "db error at exec\n"};
constexpr LogSite kCommitFailedExecute{2, 58, "db error at commit\n"};
constexpr LogSite kCommitFailedCommit{2, 112, "db error at commit\n"};
constexpr LogSite kQueryGaveUp{2, 148, "nTrys > 2\n"};

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

void writeLog(const LogSite& site) { Logger::getInstance().writeLog(site, kLogSource); }

// Runs sql on db without a row callback. On failure logs site, copies
// SQLite's message into errMsg and returns false.
bool runStatements(sqlite3* db, const std::string& sql, const LogSite& site,
                   std::string& errMsg) {
  char* rawMessage = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &rawMessage);
  SqliteMessage message(rawMessage);
  if (rc == SQLITE_OK) return true;
  writeLog(site);
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

SqliteHandle Database::openConnection(const LogSite* openFailed, std::string& errMsg) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open(filePath.c_str(), &raw);
  SqliteHandle db(raw);
  if (rc != SQLITE_OK) {
    if (openFailed != nullptr) writeLog(*openFailed);
    errMsg = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return db;
}

int64_t Database::execute(const std::string& sql, std::string& errMsg) {
  if (group) {
    if (!runStatements(group.get(), kStatementSavepoint, kBeginFailedExecute, errMsg)) return -1;
    if (!runStatements(group.get(), sql, kExecFailedExecute, errMsg)) {
      runQuietly(group.get(), kStatementUndo);
      return -1;
    }
    int64_t rowId = sqlite3_last_insert_rowid(group.get());
    runQuietly(group.get(), kStatementRelease);
    return rowId;
  }
  SqliteHandle db = openConnection(&kOpenFailedExecute, errMsg);
  if (!db) return -1;
  if (!runStatements(db.get(), kBegin, kBeginFailedExecute, errMsg)) return -1;
  if (!runStatements(db.get(), sql, kExecFailedExecute, errMsg)) return -1;
  int64_t rowId = sqlite3_last_insert_rowid(db.get());
  if (!runStatements(db.get(), kCommit, kCommitFailedExecute, errMsg)) return -1;
  return rowId;  // the final close's result does not change a committed write
}

bool Database::beginTransaction(std::string& errMsg) {
  if (group) return beginFileSavepoint(errMsg);
  handle = openConnection(&kOpenFailedBegin, errMsg);
  if (!handle) return false;
  if (!runStatements(handle.get(), kBegin, kBeginFailedBegin, errMsg)) {
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
  if (!runStatements(handle.get(), sql, kExecFailedInTransaction, errMsg)) {
    handle.reset();  // discards everything since beginTransaction
    return -1;
  }
  return sqlite3_last_insert_rowid(handle.get());
}

bool Database::commitTransaction(std::string& errMsg) {
  if (isFileSavepointOpen) {
    isFileSavepointOpen = false;
    // Durable only with the group's commit; afterCommit actions wait for it.
    return runStatements(group.get(), kFileRelease, kCommitFailedCommit, errMsg);
  }
  if (!handle) {
    errMsg = "no transaction is open";
    return false;
  }
  if (!runStatements(handle.get(), kCommit, kCommitFailedCommit, errMsg)) {
    handle.reset();
    return false;
  }
  return sqlite3_close(handle.release()) == SQLITE_OK;
}

int64_t Database::queryValue(const std::string& sql, std::string& errMsg) {
  sqlite3* db = readConnection(errMsg);  // an open failure here is not logged
  if (db == nullptr) return -1;
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
      if (rows < 1 || columns < 1) return -1;
      const char* cell = table.get()[columns];
      return cell == nullptr ? 0 : std::atoll(cell);  // NULL reads as no number
    }
    if (tries >= kQueryTries) {
      writeLog(kQueryGaveUp);
      errMsg = message ? message.get() : sqlite3_errmsg(db);
      return -1;
    }
    // No pause between tries: each attempt already waits the busy timeout.
  }
}

sqlite3* Database::readConnection(std::string& errMsg) {
  if (group) return group.get();
  if (!reader) reader = openConnection(nullptr, errMsg);
  return reader.get();
}

bool Database::beginGroup(std::string& errMsg) {
  if (group) return true;
  group = openConnection(&kOpenFailedExecute, errMsg);
  if (!group) return false;
  if (!runStatements(group.get(), kBegin, kBeginFailedExecute, errMsg)) {
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
  bool committed = runStatements(group.get(), kCommit, kCommitFailedExecute, errMsg);
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
  if (!runStatements(group.get(), kFileSavepoint, kBeginFailedBegin, errMsg)) return false;
  isFileSavepointOpen = true;
  return true;
}

// Like a failing statement of the three-step transaction, a failure undoes
// what the file wrote so far; the rest of the group stays.
int64_t Database::executeInFileSavepoint(const std::string& sql, std::string& errMsg) {
  if (!runStatements(group.get(), sql, kExecFailedInTransaction, errMsg)) {
    runQuietly(group.get(), kFileUndo);
    isFileSavepointOpen = false;
    return -1;
  }
  return sqlite3_last_insert_rowid(group.get());
}
