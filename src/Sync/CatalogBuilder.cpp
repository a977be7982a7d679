// Sync/CatalogBuilder.cpp: the first build and the full check.
#include "Sync/CatalogBuilder.h"

#include <sys/stat.h>

#include <ctime>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Sync/Walk.h"

CatalogBuilder::CatalogBuilder(const std::string& homeDir, const std::string& helperPath)
    : files(homeDir),
      directories(folders),
      cataloguer(directories, helperPath),
      changes(files, folders),
      adjustment(files, folders, directories, cataloguer) {}

// A catalogue file of zero bytes holds no catalogue: a first build killed
// before its schema was committed leaves one behind, and checking it would
// fail at every later start, so the catalogue would stay empty for good.
// Building over it loses nothing.
bool CatalogBuilder::dbExists() const {
  struct stat status;
  return Util::isFileExist(files.dbPath) && stat(files.dbPath.c_str(), &status) == 0 &&
         status.st_size > 0;
}

// Every shared folder gets its row under the root before any walk starts, so
// a folder nested in another is found as a folder, not entered as a plain
// subdirectory first.
void CatalogBuilder::buildDatabase() {
  Database db(files.dbPath);
  std::string errMsg;
  if (db.execute(CatalogSql::createSchema(), errMsg) < 0) {
    writeLog(LogId::CreateSchemaFailed, errMsg);
    return;
  }
  addPathIndex(db);
  if (db.execute(CatalogSql::primeSequences(), errMsg) < 0) {
    writeLog(LogId::PrimeFailed, errMsg);
    return;
  }
  for (const std::string& folder : folders.entries()) directories.insertDir(folder, 0, db);
  walkFolders(WalkMode::Build, db);
}

// A folder whose row can be neither found nor entered is not walked; at a
// check's sweep its old rows go, since nothing marked them.
void CatalogBuilder::walkFolders(WalkMode mode, Database& db) {
  Walk walk(mode, db, directories, cataloguer);
  for (const std::string& folder : folders.entries()) {
    std::string rootPath = Util::removeLastSlash(folder);
    writeLog(mode == WalkMode::Build ? LogId::BuildFolder : LogId::CheckFolder, rootPath);
    Lookup root = DirectoryRows::findId(rootPath, db);
    if (root.isFound()) walk.traverseDir(folder, root.value);
  }
  adjustment.carryOver(walk.takeUnsettled());
  cataloguer.endAnalysis();  // nothing to analyse until the next change
}

// Without the index every look-up scans the table: slower, still right.
void CatalogBuilder::addPathIndex(Database& db) {
  std::string errMsg;
  if (db.execute(CatalogSql::createPathIndex(), errMsg) < 0) {
    writeLog(LogId::PathIndexFailed, errMsg);
  }
}

// Mark and sweep over FOUND: rows met again keep their IDs and details.
void CatalogBuilder::checkDatabase() {
  Database db(files.dbPath);
  addPathIndex(db);
  std::string errMsg;
  if (db.execute(CatalogSql::clearFound(), errMsg) < 0) {
    writeLog(LogId::ClearFoundFailed, errMsg);
    return;
  }
  for (const std::string& folder : folders.entries()) {
    Lookup root = DirectoryRows::findId(Util::removeLastSlash(folder), db);
    if (!root.isFound()) {
      directories.insertDir(folder, 0, db);
    } else {
      db.execute(CatalogSql::setFound(root.value), errMsg);  // a missed mark only costs a re-entry
    }
  }
  walkFolders(WalkMode::Check, db);
  // Rows the walk did not reach are still unmarked; deleting them on the
  // strength of an interrupted walk would throw away good rows.
  if (exitRequested()) return;
  time_t start = time(nullptr);
  if (db.execute(CatalogSql::deleteNotFound(), errMsg) < 0) writeLog(LogId::SweepFailed, errMsg);
  if (db.execute(CatalogSql::pruneMaps(), errMsg) < 0) writeLog(LogId::CheckPruneFailed, errMsg);
  writeLog(LogId::SweepTime, timingText(start, time(nullptr)));
}
