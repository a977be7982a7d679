// tests/CatalogTestSupport.h: reading a catalogue back with plain SQL.
#ifndef OMBRIX_TESTS_CATALOGTESTSUPPORT_H
#define OMBRIX_TESTS_CATALOGTESTSUPPORT_H

#include <sqlite3.h>

#include <string>
#include <vector>

#include "Database/CatalogSql.h"
#include "Database/Database.h"

namespace catalogtest {

using Row = std::vector<std::string>;

// Runs a query on its own read connection; NULL cells read as "NULL".
inline std::vector<Row> query(const std::string& dbPath, const std::string& sql) {
  std::vector<Row> rows;
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(raw);
    return rows;
  }
  SqliteHandle db(raw);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return rows;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    Row row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const unsigned char* text = sqlite3_column_text(stmt, i);
      row.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  return rows;
}

// The single value of a one-row, one-column query, or "" when there is none.
inline std::string value(const std::string& dbPath, const std::string& sql) {
  std::vector<Row> rows = query(dbPath, sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

// How many times needle occurs in haystack, without overlaps.
inline size_t count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

// Creates and primes a new catalogue; false with the error text on failure.
inline bool createCatalogue(const std::string& dbPath, std::string& errMsg) {
  Database db(dbPath);
  return db.execute(CatalogSql::createSchema(), errMsg) >= 0 &&
         db.execute(CatalogSql::primeSequences(), errMsg) >= 0;
}

}  // namespace catalogtest

#endif  // OMBRIX_TESTS_CATALOGTESTSUPPORT_H
