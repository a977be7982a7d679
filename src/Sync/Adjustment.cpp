// Sync/Adjustment.cpp: diff lines, deletions and the retries.
#include "Sync/Adjustment.h"

#include <algorithm>
#include <fstream>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Media/FileInfo.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"
#include "Sync/Pipeline.h"
#include "Sync/SharedFolders.h"
#include "Sync/WorkFiles.h"

namespace {

// Adds path to list unless it is there already.
void remember(std::vector<std::string>& list, const std::string& path) {
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
}

void forget(std::vector<std::string>& list, const std::string& path) {
  list.erase(std::remove(list.begin(), list.end(), path), list.end());
}

bool isOnDisk(const std::string& path) {
  return Util::isDirExist(path) || Util::isFileExist(path);
}

}  // namespace

void Adjustment::adjustDatabase() {
  std::ifstream diff(workFiles.findDiffPath);
  if (!diff.is_open()) {
    writeLog(LogId::OpenDiffFailed);
    return;
  }
  Database db(workFiles.dbPath);
  Pipeline pipeline(cataloguer, nullptr);  // one transaction per change: retries stay exact
  std::string line;
  while (std::getline(diff, line)) {
    if (exitRequested()) {
      writeLog(LogId::AdjustStopped);
      break;
    }
    applyDiffLine(line, db, pipeline);
    notifyProgress();
    pipeline.runReady();
    if (pipeline.isFull()) pipeline.waitForProgress();
  }
  finish(pipeline);
  refreshMaps(db, LogId::AdjustPruneFailed, LogId::AdjustFillFailed);
}

void Adjustment::finish(Pipeline& pipeline) {
  for (const std::string& path : pipeline.finish()) remember(unsettled, path);
  cataloguer.endAnalysis();  // nothing to analyse until the next change
}

void Adjustment::carryOver(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) remember(unsettled, path);
}

void Adjustment::refreshMaps(Database& db, LogId pruneFailed, LogId fillFailed) {
  std::string errMsg;
  if (db.execute(CatalogSql::pruneMaps(), errMsg) < 0) writeLog(pruneFailed, errMsg);
  if (db.execute(CatalogSql::fillMaps(), errMsg) < 0) writeLog(fillFailed, errMsg);
}

// "< path" is gone, "> path" is new; headers such as 3a4 and "---" lines are
// ignored. The path is everything from the line's first "/". find starts
// every line it prints with the folder it was given, so a line that does not
// is the rest of a name holding a line feed: a folder "x\n" holding
// tmp/a.jpg would otherwise have /tmp/a.jpg, outside every shared folder,
// catalogued and offered on the network. A newer line about a path
// supersedes a retry still pending for it.
void Adjustment::applyDiffLine(const std::string& line, Database& db, Pipeline& pipeline) {
  if (line.empty() || (line[0] != '<' && line[0] != '>')) return;
  size_t slash = line.find('/');
  std::string path = slash == std::string::npos ? "" : line.substr(slash);
  if (!folders.contains(path)) {
    writeLog(LogId::OutsideFolders, path);
    return;
  }
  forget(unsettled, path);
  if (line[0] == '<') {
    forget(pendingInserts, path);
    pipeline.addAction([this, path, &db] {
      if (!deleteObject(path, db)) remember(pendingDeletes, path);
    });
    return;
  }
  forget(pendingDeletes, path);
  addChangedPath(path, db, pipeline);
}

// Hidden names stay out, and so does everything inside a hidden directory:
// the walk never enters one, and trash and thumbnail folders (.Trash-1000,
// .thumbnails) would otherwise put deleted photos and icons on the
// television until the next start. A directory is looked up in its turn (a
// file before it may have entered it as its parent); a file is looked up at
// once, since only its own line can enter it, so that a catalogued file is
// neither watched nor analysed.
void Adjustment::addChangedPath(const std::string& path, Database& db, Pipeline& pipeline) {
  if (folders.isHiddenBelowFolder(path)) return;
  if (Util::isDirExist(path)) {
    pipeline.addAction([this, path, &db] {
      if (!insertDirIfNew(path, db)) remember(pendingInserts, path);
    });
    return;
  }
  if (!Util::isFileExist(path)) return;  // gone again, or neither a directory nor a readable file
  Lookup existing = DirectoryRows::findId(path, db);
  if (existing.isFound()) return;
  FileInfo info;
  if (existing.isFailed()) {
    remember(pendingInserts, path);  // we cannot tell: try again later
  } else if (cataloguer.fillIfCatalogued(path, info)) {
    pipeline.addFile(info, [this, path, &db](const FileInfo& analysed) {
      if (cataloguer.writeRows(analysed, -1, db) < 0) {
        remember(pendingInserts, path);
      }
    });
  }
}

bool Adjustment::insertDirIfNew(const std::string& path, Database& db) {
  Lookup existing = DirectoryRows::findId(Util::removeLastSlash(path), db);
  if (existing.isFound()) return true;
  if (existing.isFailed()) return false;  // we cannot tell: try again later
  return directories.insertDir(path, -1, db) >= 0;
}

// A file still being copied is watched again each cycle, without a record
// of its own: it is not a failed change, only an unfinished one.
bool Adjustment::retryPendingChanges() {
  if (pendingInserts.empty() && pendingDeletes.empty() && unsettled.empty()) return false;
  Database db(workFiles.dbPath);
  std::vector<std::string> deletes, inserts, copying;
  deletes.swap(pendingDeletes);
  inserts.swap(pendingInserts);
  copying.swap(unsettled);
  for (const std::string& path : deletes) {
    if (exitRequested()) break;
    if (isOnDisk(path)) continue;  // back: its row is right where it is
    notifyProgress();
    writeLog(LogId::RetryDelete, path);
    if (!deleteObject(path, db)) remember(pendingDeletes, path);
  }
  Pipeline pipeline(cataloguer, nullptr);
  for (const std::string& path : inserts) {
    if (exitRequested()) break;
    if (!isOnDisk(path)) continue;  // gone again
    notifyProgress();
    writeLog(LogId::RetryInsert, path);
    addChangedPath(path, db, pipeline);
  }
  for (const std::string& path : copying) {
    if (!exitRequested()) addChangedPath(path, db, pipeline);  // unless gone meanwhile
  }
  finish(pipeline);
  refreshMaps(db, LogId::RetryPruneFailed, LogId::RetryFillFailed);
  return true;
}

// A "<" line for a path that is still there comes from a name holding a
// line feed (see applyDiffLine), not from a removal.
bool Adjustment::deleteObject(std::string path, Database& db) {
  path = Util::removeLastSlash(std::move(path));
  Lookup row = DirectoryRows::findId(path, db);
  if (!row.isFound()) {
    writeLog(LogId::NoObject, path);
    return !row.isFailed();
  }
  if (isOnDisk(path)) return true;
  std::string errMsg;
  if (db.execute(CatalogSql::deleteById(row.value), errMsg) < 0) {
    writeLog(LogId::DeleteFailed, errMsg);
    return false;
  }
  writeLog(LogId::Deleted, path);
  return true;
}
