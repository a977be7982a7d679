// tools/check/CatalogReader.cpp: the read-only queries of ombrix-check.
#include "check/CatalogReader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

namespace check {
namespace {

// As many tries as the daemon gives a look-up; each one already waits the
// busy timeout, so no pause between them.
constexpr int kQueryTries = 3;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

std::string textColumn(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? "NULL" : reinterpret_cast<const char*>(text);
}

// Runs sql and puts readRow of each result row into rows. A try that meets a
// lock is dropped whole and run again, so rows never holds a row twice.
// Returns false with SQLite's message in errMsg.
template <typename Row, typename ReadRow>
bool queryRows(sqlite3* db, const std::string& sql, ReadRow readRow, std::vector<Row>& rows,
               std::string& errMsg) {
  for (int tries = 1;; ++tries) {
    rows.clear();
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    StatementHandle statement(raw);
    if (rc == SQLITE_OK) {
      while ((rc = sqlite3_step(raw)) == SQLITE_ROW) rows.push_back(readRow(raw));
    }
    if (rc == SQLITE_DONE) return true;
    bool isLocked = rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
    if (!isLocked || tries >= kQueryTries) {
      errMsg = sqlite3_errmsg(db);
      return false;
    }
  }
}

// The row of a file is TYPE 1, 2 or 3; any other row has no business with a
// FILEDETAIL row.
constexpr const char* kDetailMismatchSql =
    "select PATH from OBJECTS where TYPE in (1, 2, 3)"
    " and not exists (select 1 from FILEDETAIL d where d.ID = OBJECTS.ID)"
    " union all "
    "select coalesce(o.PATH, 'ID ' || d.ID) from FILEDETAIL d left join OBJECTS o on o.ID = d.ID"
    " where o.ID is null or o.TYPE not in (1, 2, 3)";

// The values of column in table `from` that table `to` lacks, labelled with
// the map's name.
std::string mapValuesMissing(const std::string& map, const std::string& column,
                             const std::string& from, const std::string& to) {
  return "select '" + map + "', " + column + " from (select " + column + " from " + from +
         " except select " + column + " from " + to + ")";
}

// Both directions of each map in one query: values FILEDETAIL uses that the
// map lacks, then entries of the map that FILEDETAIL no longer uses.
std::string mapMismatchSql() {
  const char* const maps[][2] = {
      {"ALBUMMAP", "A_ALBUM"}, {"ARTISTMAP", "A_ARTIST"}, {"GENREMAP", "A_GENRE"}};
  std::string sql;
  for (const auto& map : maps) {
    if (!sql.empty()) sql += " union all ";
    sql += mapValuesMissing(map[0], map[1], "FILEDETAIL", map[0]) + " union all " +
           mapValuesMissing(map[0], map[1], map[0], "FILEDETAIL");
  }
  return sql;
}

}  // namespace

bool CatalogReader::open(const std::string& dbPath, std::string& errMsg) {
  struct stat status;
  if (stat(dbPath.c_str(), &status) != 0) {
    errMsg = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    errMsg = "not a regular file";
    return false;
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  db.reset(raw);
  if (rc != SQLITE_OK) {
    errMsg = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    db.reset();
    return false;
  }
  sqlite3_busy_timeout(db.get(), Database::kBusyTimeoutMs);
  return true;
}

bool CatalogReader::readQuickCheck(std::vector<std::string>& problems, std::string& errMsg) {
  std::vector<std::string> texts;
  if (!queryRows(
          db.get(), "PRAGMA quick_check", [](sqlite3_stmt* s) { return textColumn(s, 0); }, texts,
          errMsg)) {
    return false;
  }
  problems.clear();
  if (texts.size() == 1 && texts[0] == "ok") return true;
  // One text may hold several lines ("*** in database main ***" and what
  // was wrong there); each becomes a problem of its own.
  for (const std::string& text : texts) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) problems.push_back(line);
  }
  return true;
}

bool CatalogReader::readObjects(std::vector<CatalogRow>& rows, std::string& errMsg) {
  auto readRow = [](sqlite3_stmt* s) {
    return CatalogRow{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                      sqlite3_column_int(s, 2), textColumn(s, 3)};
  };
  return queryRows(db.get(), "select ID, PARENT_ID, TYPE, PATH from OBJECTS", readRow, rows,
                   errMsg);
}

bool CatalogReader::readDetailMismatches(std::vector<std::string>& paths, std::string& errMsg) {
  return queryRows(
      db.get(), kDetailMismatchSql, [](sqlite3_stmt* s) { return textColumn(s, 0); }, paths,
      errMsg);
}

bool CatalogReader::readMapMismatches(std::vector<MapMismatch>& mismatches, std::string& errMsg) {
  auto readRow = [](sqlite3_stmt* s) { return MapMismatch{textColumn(s, 0), textColumn(s, 1)}; };
  return queryRows(db.get(), mapMismatchSql(), readRow, mismatches, errMsg);
}

}  // namespace check
