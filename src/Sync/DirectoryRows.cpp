// Sync/DirectoryRows.cpp: look-ups by path and directory rows.
#include "Sync/DirectoryRows.h"

#include "Common/Logger.h"
#include "Common/Util.h"
#include "Sync/SharedFolders.h"

bool DirectoryRows::isSharedFolder(const std::string& path) const {
  return folders.isRootPath(path);
}

IdResult DirectoryRows::findParentId(const std::string& path, Catalog& catalog) {
  return findId(Util::getParentPath(path), catalog);
}

IdResult DirectoryRows::parentFor(const std::string& path, int64_t parentId, Catalog& catalog) {
  if (parentId >= 0) return IdResult::of(parentId);
  IdResult parent = findParentId(path, catalog);
  if (!parent.status.isNotFound()) return parent;  // found, or we cannot tell
  return insertDir(Util::getParentPath(path), -1, catalog);
}

IdResult DirectoryRows::insertDir(std::string path, int64_t parentId, Catalog& catalog) {
  path = Util::removeLastSlash(std::move(path));
  IdResult parent = IdResult::of(parentId);
  if (parentId < 0) {
    std::string parentPath = Util::getParentPath(path);
    parent = findId(parentPath, catalog);
    if (parent.status.isNotFound()) {
      // A shared folder's row always hangs under the root; a path without
      // "/" is its own parent, and recursing on it would not end.
      if (folders.isRootPath(path)) {
        parent = IdResult::of(0);
      } else if (path.size() < 2 || parentPath == path) {
        return IdResult::of(0);
      } else {
        parent = insertDir(parentPath, -1, catalog);
      }
    }
  }
  if (!parent.isOk()) {
    writeLog(LogId::NoDirParent);
    return parent;
  }
  IdResult entered = catalog.insertDirRow(parent.id, path, Util::getFileName(path));
  if (!entered.isOk()) {
    writeLog(LogId::InsertDirFailed, entered.status.message);
    return entered;
  }
  catalog.afterCommit([path] { writeLog(LogId::DirInserted, path); });
  return entered;
}
