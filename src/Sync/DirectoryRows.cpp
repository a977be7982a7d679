// Sync/DirectoryRows.cpp: look-ups by path and directory rows.
#include "Sync/DirectoryRows.h"

#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Sync/SharedFolders.h"

Lookup DirectoryRows::findId(const std::string& path, Database& db) {
  std::string errMsg;
  return db.queryValue(CatalogSql::selectIdByPath(path), errMsg);
}

Lookup DirectoryRows::findParentId(const std::string& path, Database& db) {
  return findId(Util::getParentPath(path), db);
}

int64_t DirectoryRows::insertDir(std::string path, int64_t parentId, Database& db) {
  path = Util::removeLastSlash(std::move(path));
  if (parentId < 0) parentId = findParentId(path, db).idOrNone();
  if (parentId < 0) {
    // A shared folder's row always hangs under the root; if it cannot be
    // entered the caller carries on with the root as parent.
    if (folders.isRootPath(path)) {
      int64_t id = insertDir(path, 0, db);
      return id >= 0 ? id : 0;
    }
    std::string parentPath = Util::getParentPath(path);
    // A path without "/" is its own parent; recursing on it would not end.
    if (path.size() < 2 || parentPath == path) return 0;
    parentId = insertDir(parentPath, -1, db);
  }
  if (parentId < 0) {
    writeLog(LogId::NoDirParent);
    return -1;
  }
  std::string errMsg;
  int64_t id =
      db.execute(CatalogSql::insertDirRow(parentId, path, Util::getFileName(path)), errMsg);
  if (id < 0) {
    writeLog(LogId::InsertDirFailed, errMsg);
    return -1;
  }
  db.afterCommit([path] { writeLog(LogId::DirInserted, path); });
  return id;
}
