// Sync/Adjustment.cpp: diff lines, deletions and the retries.
#include "Sync/Adjustment.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/Catalog.h"
#include "Media/FileInfo.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"
#include "Sync/PendingChanges.h"
#include "Sync/Pipeline.h"
#include "Sync/SharedFolders.h"
#include "Sync/WorkFiles.h"

namespace {

using Pending = PendingChanges;

bool isOnDisk(const std::string& path) {
  return Util::isDirExist(path) || Util::isFileExist(path);
}

}  // namespace

void Adjustment::adjustDatabase(PendingChanges& pending) {
  std::ifstream diff(workFiles.findDiffPath);
  if (!diff.is_open()) {
    writeLog(LogId::OpenDiffFailed);
    return;
  }
  Catalog catalog(workFiles.dbPath);
  Pipeline pipeline(cataloguer, nullptr);  // one transaction per change: retries stay exact
  std::string line;
  while (std::getline(diff, line)) {
    if (exitRequested()) {
      writeLog(LogId::AdjustStopped);
      break;
    }
    applyDiffLine(line, catalog, pipeline, pending);
    notifyProgress();
    pipeline.runReady();
    if (pipeline.isFull()) pipeline.waitForProgress();
  }
  finish(pipeline, pending);
  refreshMaps(catalog, LogId::AdjustPruneFailed, LogId::AdjustFillFailed);
}

void Adjustment::finish(Pipeline& pipeline, PendingChanges& pending) {
  for (const std::string& path : pipeline.finish()) Pending::remember(pending.unsettled, path);
  cataloguer.endAnalysis();  // nothing to analyse until the next change
}

void Adjustment::refreshMaps(Catalog& catalog, LogId pruneFailed, LogId fillFailed) {
  Status status = catalog.pruneMaps();
  if (!status.isOk()) writeLog(pruneFailed, status.message);
  status = catalog.fillMaps();
  if (!status.isOk()) writeLog(fillFailed, status.message);
}

// "< path" is gone, "> path" is new; headers such as 3a4 and "---" lines are
// ignored. The path is everything from the line's first "/". find starts
// every line it prints with the folder it was given, so a line that does not
// is the rest of a name holding a line feed: a folder "x\n" holding
// tmp/a.jpg would otherwise have /tmp/a.jpg, outside every shared folder,
// catalogued and offered on the network. A newer line about a path
// supersedes a retry still pending for it.
void Adjustment::applyDiffLine(const std::string& line, Catalog& catalog, Pipeline& pipeline,
                               PendingChanges& pending) {
  if (line.empty() || (line[0] != '<' && line[0] != '>')) return;
  size_t slash = line.find('/');
  std::string path = slash == std::string::npos ? "" : line.substr(slash);
  if (!folders.contains(path)) {
    writeLog(LogId::OutsideFolders, path);
    return;
  }
  Pending::forget(pending.unsettled, path);
  if (line[0] == '<') {
    Pending::forget(pending.inserts, path);
    pipeline.addAction([this, path, &catalog, &pending] {
      if (!deleteObject(path, catalog)) Pending::remember(pending.deletes, path);
    });
    return;
  }
  Pending::forget(pending.deletes, path);
  addChangedPath(path, catalog, pipeline, pending);
}

// Hidden names stay out, and so does everything inside a hidden directory:
// the walk never enters one, and trash and thumbnail folders (.Trash-1000,
// .thumbnails) would otherwise put deleted photos and icons on the
// television until the next start. A directory is looked up in its turn (a
// file before it may have entered it as its parent); a file is looked up at
// once, since only its own line can enter it, so that a catalogued file is
// neither watched nor analysed.
void Adjustment::addChangedPath(const std::string& path, Catalog& catalog, Pipeline& pipeline,
                                PendingChanges& pending) {
  if (folders.isHiddenBelowFolder(path)) return;
  // One status call tells a file from a directory and fills the file's
  // record; a directory must also open, as for the walk.
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;  // gone again
  if (S_ISDIR(status.st_mode) && Util::isDirExist(path)) {
    pipeline.addAction([this, path, &catalog, &pending] {
      if (!insertDirIfNew(path, catalog)) Pending::remember(pending.inserts, path);
    });
    return;
  }
  if (!Util::isReadableFile(AT_FDCWD, path.c_str(), status)) return;  // nor a readable file
  IdResult existing = DirectoryRows::findId(path, catalog);
  if (existing.isOk()) return;
  FileInfo info;
  if (existing.status.isError()) {
    Pending::remember(pending.inserts, path);  // we cannot tell: try again later
  } else if (cataloguer.fillIfCatalogued(path, status, info)) {
    pipeline.addFile(info, [this, path, &catalog, &pending](const FileInfo& analysed) {
      if (!cataloguer.writeRows(analysed, -1, catalog).isOk()) {
        Pending::remember(pending.inserts, path);
      }
    });
  }
}

bool Adjustment::insertDirIfNew(const std::string& path, Catalog& catalog) {
  IdResult existing = DirectoryRows::findId(Util::removeLastSlash(path), catalog);
  if (existing.isOk()) return true;
  if (existing.status.isError()) return false;  // we cannot tell: try again later
  return directories.insertDir(path, -1, catalog).isOk();
}

// A file still being copied is watched again each cycle, without a record
// of its own: it is not a failed change, only an unfinished one.
bool Adjustment::retryPendingChanges(PendingChanges& pending) {
  if (pending.isEmpty()) return false;
  Catalog catalog(workFiles.dbPath);
  std::vector<std::string> deletes, inserts, copying;
  deletes.swap(pending.deletes);
  inserts.swap(pending.inserts);
  copying.swap(pending.unsettled);
  for (const std::string& path : deletes) {
    if (exitRequested()) break;
    if (isOnDisk(path)) continue;  // back: its row is right where it is
    notifyProgress();
    writeLog(LogId::RetryDelete, path);
    if (!deleteObject(path, catalog)) Pending::remember(pending.deletes, path);
  }
  Pipeline pipeline(cataloguer, nullptr);
  for (const std::string& path : inserts) {
    if (exitRequested()) break;
    if (!isOnDisk(path)) continue;  // gone again
    notifyProgress();
    writeLog(LogId::RetryInsert, path);
    addChangedPath(path, catalog, pipeline, pending);
  }
  for (const std::string& path : copying) {
    if (!exitRequested()) addChangedPath(path, catalog, pipeline, pending);  // unless gone
  }
  finish(pipeline, pending);
  refreshMaps(catalog, LogId::RetryPruneFailed, LogId::RetryFillFailed);
  return true;
}

// A "<" line for a path that is still there comes from a name holding a
// line feed (see applyDiffLine), not from a removal.
bool Adjustment::deleteObject(std::string path, Catalog& catalog) {
  path = Util::removeLastSlash(std::move(path));
  IdResult row = DirectoryRows::findId(path, catalog);
  if (row.status.isError()) return false;  // we cannot tell: try again later
  if (row.status.isNotFound()) {
    writeLog(LogId::NoObject, path);
    return true;
  }
  if (isOnDisk(path)) return true;
  Status status = catalog.deleteById(row.id);
  if (!status.isOk()) {
    writeLog(LogId::DeleteFailed, status.message);
    return false;
  }
  writeLog(LogId::Deleted, path);
  return true;
}
