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
#include "Sync/WriteGroup.h"

namespace {

using Pending = PendingChanges;

bool isOnDisk(const std::string& path) {
  return Util::isDirExist(path) || Util::isFileExist(path);
}

}  // namespace

// What one adjustment or retry works with.
struct Adjustment::Run {
  Catalog& catalog;
  WriteGroup& group;
  Pipeline& pipeline;
  PendingChanges& pending;

  // Notes how a change to path went: one that failed waits in list for a
  // retry, and so does one that succeeded in a group that is then lost.
  void settle(bool isDone, std::vector<std::string>& list, const std::string& path) {
    if (!isDone) {
      Pending::remember(list, path);
    } else {
      catalog.afterDiscard([&list, path] { Pending::remember(list, path); });
    }
  }
};

void Adjustment::adjustDatabase(PendingChanges& pending) {
  std::ifstream diff(workFiles.findDiffPath);
  if (!diff.is_open()) {
    writeLog(LogId::OpenDiffFailed);
    return;
  }
  Catalog catalog(workFiles.dbPath);
  WriteGroup group(catalog);
  Pipeline pipeline(cataloguer, &group);
  Run run{catalog, group, pipeline, pending};
  std::string line;
  while (std::getline(diff, line)) {
    if (exitRequested()) {
      writeLog(LogId::AdjustStopped);
      break;
    }
    applyDiffLine(line, run);
    notifyProgress();
    group.commitIfDue();
    pipeline.runReady();
    if (pipeline.isFull()) pipeline.waitForProgress();
  }
  finish(run);
  refreshMaps(catalog, LogId::AdjustPruneFailed, LogId::AdjustFillFailed);
}

void Adjustment::finish(Run& run) {
  for (const std::string& path : run.pipeline.finish()) {
    Pending::remember(run.pending.unsettled, path);
  }
  run.group.commit();        // a loss is settled through the paths' discard actions
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
void Adjustment::applyDiffLine(const std::string& line, Run& run) {
  if (line.empty() || (line[0] != '<' && line[0] != '>')) return;
  size_t slash = line.find('/');
  std::string path = slash == std::string::npos ? "" : line.substr(slash);
  if (!folders.contains(path)) {
    writeLog(LogId::OutsideFolders, path);
    return;
  }
  Pending::forget(run.pending.unsettled, path);
  if (line[0] == '<') {
    Pending::forget(run.pending.inserts, path);
    run.pipeline.addAction(
        [this, path, &run] { run.settle(deleteObject(path, run), run.pending.deletes, path); });
    return;
  }
  Pending::forget(run.pending.deletes, path);
  addChangedPath(path, run);
}

// Hidden names stay out, and so does everything inside a hidden directory:
// the walk never enters one, and trash and thumbnail folders (.Trash-1000,
// .thumbnails) would otherwise put deleted photos and icons on the
// television until the next start. A directory is looked up in its turn (a
// file before it may have entered it as its parent); a file is looked up at
// once, since only its own line can enter it, so that a catalogued file is
// neither watched nor analysed.
void Adjustment::addChangedPath(const std::string& path, Run& run) {
  if (folders.isHiddenBelowFolder(path)) return;
  // One status call tells a file from a directory and fills the file's
  // record; a directory must also open, as for the walk.
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;  // gone again
  if (S_ISDIR(status.st_mode) && Util::isDirExist(path)) {
    run.pipeline.addAction([this, path, &run] {
      run.group.beforeWrite();
      run.settle(insertDirIfNew(path, run.catalog), run.pending.inserts, path);
    });
    return;
  }
  if (!Util::isReadableFile(AT_FDCWD, path.c_str(), status)) return;  // nor a readable file
  IdResult existing = DirectoryRows::findId(path, run.catalog);
  if (existing.isOk()) return;
  FileInfo info;
  if (existing.status.isError()) {
    Pending::remember(run.pending.inserts, path);  // we cannot tell: try again later
  } else if (cataloguer.fillIfCatalogued(path, status, info)) {
    run.pipeline.addFile(info, [this, path, &run](const FileInfo& analysed) {
      run.group.beforeWrite();
      run.settle(cataloguer.writeRows(analysed, -1, run.catalog).isOk(), run.pending.inserts, path);
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
  WriteGroup group(catalog);
  Pipeline pipeline(cataloguer, &group);
  Run run{catalog, group, pipeline, pending};
  std::vector<std::string> deletes, inserts, copying;
  deletes.swap(pending.deletes);
  inserts.swap(pending.inserts);
  copying.swap(pending.unsettled);
  for (const std::string& path : deletes) {
    if (exitRequested()) break;
    if (isOnDisk(path)) continue;  // back: its row is right where it is
    notifyProgress();
    writeLog(LogId::RetryDelete, path);
    run.settle(deleteObject(path, run), pending.deletes, path);
  }
  group.commit();  // the deletions' records before the insertions'
  for (const std::string& path : inserts) {
    if (exitRequested()) break;
    if (!isOnDisk(path)) continue;  // gone again
    notifyProgress();
    writeLog(LogId::RetryInsert, path);
    addChangedPath(path, run);
  }
  for (const std::string& path : copying) {
    if (!exitRequested()) addChangedPath(path, run);  // unless gone meanwhile
  }
  finish(run);
  refreshMaps(catalog, LogId::RetryPruneFailed, LogId::RetryFillFailed);
  return true;
}

// A "<" line for a path that is still there comes from a name holding a
// line feed (see applyDiffLine), not from a removal.
bool Adjustment::deleteObject(std::string path, Run& run) {
  path = Util::removeLastSlash(std::move(path));
  run.group.beforeWrite();
  IdResult row = DirectoryRows::findId(path, run.catalog);
  if (row.status.isError()) return false;  // we cannot tell: try again later
  if (row.status.isNotFound()) {
    writeLog(LogId::NoObject, path);
    return true;
  }
  if (isOnDisk(path)) return true;
  Status status = run.catalog.deleteById(row.id);
  if (!status.isOk()) {
    writeLog(LogId::DeleteFailed, status.message);
    return false;
  }
  run.catalog.afterCommit([path] { writeLog(LogId::Deleted, path); });
  return true;
}
