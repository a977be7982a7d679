// tools/check/CatalogReader.h: a read-only view of the catalogue.
//
// Safe beside the running daemon and the media server: the connection is
// opened read-only (SQLite then writes nothing, not even a journal), each
// query is one read transaction that ends when its last row has been read,
// so no lock is held between queries, and a query that finds the file locked
// waits SQLite's busy timeout and is tried again, three times in all, as the
// daemon's own look-ups are.
//
// Each query answers one question on its own, so what it reports never mixes
// two states of the file: a file's two rows are written in one transaction,
// and the detail check reads both tables in one query.
#ifndef OMBRIX_TOOLS_CHECK_CATALOGREADER_H
#define OMBRIX_TOOLS_CHECK_CATALOGREADER_H

#include <cstdint>
#include <string>
#include <vector>

#include "Database/Database.h"

namespace check {

// The columns of one OBJECTS row that the check looks at.
struct CatalogRow {
  int64_t id;
  int64_t parentId;
  int32_t type;
  std::string path;
};

// A map value out of step with FILEDETAIL: used there and not in its map,
// or in its map and used by no detail row.
struct MapMismatch {
  std::string table;
  std::string value;
};

class CatalogReader {
 public:
  // Opens dbPath read-only. Returns false with the reason in errMsg; a file
  // that is not there is refused before SQLite sees it.
  bool open(const std::string& dbPath, std::string& errMsg);

  // What PRAGMA quick_check says, one text per line; empty when it says "ok".
  bool readQuickCheck(std::vector<std::string>& problems, std::string& errMsg);

  bool readObjects(std::vector<CatalogRow>& rows, std::string& errMsg);

  // The PATH of every file row without a FILEDETAIL row, and of every
  // FILEDETAIL row whose ID is no file row: the PATH of the row that has
  // that ID, or "ID " and the number when no row has it.
  bool readDetailMismatches(std::vector<std::string>& paths, std::string& errMsg);

  bool readMapMismatches(std::vector<MapMismatch>& mismatches, std::string& errMsg);

 private:
  SqliteHandle db;
};

}  // namespace check

#endif  // OMBRIX_TOOLS_CHECK_CATALOGREADER_H
