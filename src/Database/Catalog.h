// Database/Catalog.h: every operation on the catalogue's rows, with its
// values bound.
//
// The synchroniser speaks to the catalogue only through this class: it names
// what it wants (a look-up by path, a directory row, a file's two rows, a
// mark, a sweep, the maps) and gets a Status or an IdResult that says what
// happened. The statement texts are CatalogSql's; the connection, the
// transactions and the write groups are Database's. A Catalog lives for one
// build, check or adjustment.
#ifndef OMBRIX_DATABASE_CATALOG_H
#define OMBRIX_DATABASE_CATALOG_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "Database/Database.h"

class FileInfo;

class Catalog {
 public:
  explicit Catalog(std::string filePath) : db(std::move(filePath)) {}

  // Scripts.
  Status createSchema();
  Status primeSequences();
  Status createPathIndex();
  Status clearFound();
  Status deleteNotFound();
  Status pruneMaps();
  Status fillMaps();
  // The maps for the detail rows with an ID of at least firstId only.
  Status fillMapsFrom(int64_t firstId);

  // The row whose PATH equals path exactly: Ok with its ID, NotFound, or an
  // error after three tries (never to be read as "not there").
  IdResult findId(const std::string& path);
  // The same, with the row's PARENT_ID in parentId.
  IdResult findRow(const std::string& path, int64_t& parentId);
  // A directory row (TYPE 10, FOUND 1); the new ID.
  IdResult insertDirRow(int64_t parentId, const std::string& path, const std::string& name);
  // A file's OBJECTS row and FILEDETAIL row of its kind, together, written
  // with the records that name a failed step; the new ID.
  IdResult insertFile(int64_t parentId, const FileInfo& info);
  Status setFound(int64_t id);
  Status setParent(int64_t id, int64_t parentId);
  // How many files the catalogue holds.
  IdResult countFiles();
  Status deleteById(int64_t id);

  // Write groups (see Database).
  Status beginGroup() { return db.beginGroup(); }
  Status commitGroup() { return db.commitGroup(); }
  bool groupAge(std::chrono::milliseconds& age) const { return db.groupAge(age); }
  void afterCommit(std::function<void()> action) { db.afterCommit(std::move(action)); }
  void afterDiscard(std::function<void()> action) { db.afterDiscard(std::move(action)); }

 private:
  Database db;
};

#endif  // OMBRIX_DATABASE_CATALOG_H
