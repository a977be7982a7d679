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

}  // namespace

Database::Database(std::string path) : filePath(std::move(path)) {}

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
  SqliteHandle db = openConnection(&kOpenFailedExecute, errMsg);
  if (!db) return -1;
  if (!runStatements(db.get(), kBegin, kBeginFailedExecute, errMsg)) return -1;
  if (!runStatements(db.get(), sql, kExecFailedExecute, errMsg)) return -1;
  int64_t rowId = sqlite3_last_insert_rowid(db.get());
  if (!runStatements(db.get(), kCommit, kCommitFailedExecute, errMsg)) return -1;
  return rowId;  // the final close's result does not change a committed write
}

bool Database::beginTransaction(std::string& errMsg) {
  handle = openConnection(&kOpenFailedBegin, errMsg);
  if (!handle) return false;
  if (!runStatements(handle.get(), kBegin, kBeginFailedBegin, errMsg)) {
    handle.reset();
    return false;
  }
  return true;
}

int64_t Database::executeInTransaction(const std::string& sql, std::string& errMsg) {
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
  SqliteHandle db = openConnection(nullptr, errMsg);  // an open failure here is not logged
  if (!db) return -1;
  for (int tries = 1;; ++tries) {
    char** rawTable = nullptr;
    int rows = 0;
    int columns = 0;
    char* rawMessage = nullptr;
    int rc = sqlite3_get_table(db.get(), sql.c_str(), &rawTable, &rows, &columns, &rawMessage);
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
      errMsg = message ? message.get() : sqlite3_errmsg(db.get());
      return -1;
    }
    // No pause between tries: each attempt already waits the busy timeout.
  }
}
