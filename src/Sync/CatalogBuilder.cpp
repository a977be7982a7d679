// Sync/CatalogBuilder.cpp: the first build and the full check.
#include "Sync/CatalogBuilder.h"

#include <sys/stat.h>

#include <ctime>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/Catalog.h"
#include "Sync/Walk.h"

CatalogBuilder::CatalogBuilder(const std::string& homeDir, const std::string& helperPath)
    : files(homeDir),
      directories(folders),
      cataloguer(directories, helperPath),
      notices(files, folders),
      changes(files, folders, notices),
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
WalkOutcome CatalogBuilder::buildDatabase(PendingChanges& pending) {
  Catalog catalog(files.dbPath);
  Status status = catalog.createSchema();
  if (!status.isOk()) {
    writeLog(LogId::CreateSchemaFailed, status.message);
    return WalkOutcome::Incomplete;
  }
  addPathIndex(catalog);
  status = catalog.primeSequences();
  if (!status.isOk()) {
    writeLog(LogId::PrimeFailed, status.message);
    return WalkOutcome::Incomplete;
  }
  std::vector<IdResult> roots;
  for (const std::string& folder : folders.entries()) {
    roots.push_back(directories.insertDir(folder, 0, catalog));
  }
  return walkFolders(WalkMode::Build, catalog, roots, pending);
}

// A folder whose own row can be neither found nor entered is still walked:
// its entries find or enter it themselves, and the walk is incomplete.
WalkOutcome CatalogBuilder::walkFolders(WalkMode mode, Catalog& catalog,
                                        const std::vector<IdResult>& roots,
                                        PendingChanges& pending) {
  WalkOutcome outcome;
  {
    Walk walk(mode, catalog, directories, cataloguer, pending);
    for (size_t i = 0; i < roots.size(); ++i) {
      const std::string& folder = folders.entries()[i];
      std::string rootPath = Util::removeLastSlash(folder);
      writeLog(mode == WalkMode::Build ? LogId::BuildFolder : LogId::CheckFolder, rootPath);
      if (!roots[i].isOk()) {
        walk.leaveForRetry(rootPath);
      } else if (mode == WalkMode::Check) {
        walk.markFound(roots[i].id);
      }
      walk.traverseDir(folder, roots[i].isOk() ? roots[i].id : -1);
    }
    outcome = walk.outcome();
  }
  cataloguer.endAnalysis();  // nothing to analyse until the next change
  return outcome;
}

// Without the index every look-up scans the table: slower, still right.
void CatalogBuilder::addPathIndex(Catalog& catalog) {
  Status status = catalog.createPathIndex();
  if (!status.isOk()) writeLog(LogId::PathIndexFailed, status.message);
}

// Mark and sweep over FOUND: rows met again keep their IDs and details. A
// folder's own row is looked up first; it is entered only when the look-up
// ran and found none.
WalkOutcome CatalogBuilder::checkDatabase(PendingChanges& pending) {
  Catalog catalog(files.dbPath);
  addPathIndex(catalog);
  Status status = catalog.clearFound();
  if (!status.isOk()) {
    writeLog(LogId::ClearFoundFailed, status.message);
    return WalkOutcome::Incomplete;
  }
  std::vector<IdResult> roots;
  for (const std::string& folder : folders.entries()) {
    IdResult root = DirectoryRows::findId(Util::removeLastSlash(folder), catalog);
    if (root.status.isNotFound()) root = directories.insertDir(folder, 0, catalog);
    roots.push_back(root);
  }
  WalkOutcome outcome = walkFolders(WalkMode::Check, catalog, roots, pending);
  // Rows the walk did not reach are still unmarked; deleting them on the
  // strength of a stopped or incomplete walk would throw away good rows.
  if (outcome == WalkOutcome::Incomplete) writeLog(LogId::CheckIncomplete);
  if (outcome != WalkOutcome::Complete) return outcome;
  time_t start = time(nullptr);
  status = catalog.deleteNotFound();
  if (!status.isOk()) writeLog(LogId::SweepFailed, status.message);
  status = catalog.pruneMaps();
  if (!status.isOk()) writeLog(LogId::CheckPruneFailed, status.message);
  writeLog(LogId::SweepTime, timingText(start, time(nullptr)));
  return outcome;
}
