// Sync/Walk.cpp: the directory walk of the build and of the check.
//
// A directory's entries are taken in batches: first each new file of the
// batch is watched, with the write group committed, and handed to the
// analysis helpers, which work on the batch's files while the walk goes on;
// then the batch's rows are written in walk order inside the group, each
// file's analysis taken just before its rows, descending into each directory
// as its row is written. The rows come out the same whatever the number of
// helpers.
#include "Sync/Walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Media/FileInfo.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"

namespace {

// Enough entries to write many rows per commit, few enough that a huge flat
// folder does not pile up analysed records in memory.
constexpr size_t kEntriesPerBatch = 128;

// How many analyses the writer waits for once it has to wait: enough that
// it then writes a run of rows while the helpers work on the rest of the
// batch, few enough that a batch costs a handful of commits, not one each.
constexpr size_t kAnalysesAwaited = 32;

bool exitRequested() {
  return AppStatus::getInstance().getAppExit();
}

}  // namespace

// One entry of a directory between being looked at and being written.
struct Walk::Entry {
  enum class Kind { Directory, File };
  Entry(std::string entryPath, Kind entryKind) : path(std::move(entryPath)), kind(entryKind) {}

  std::string path;
  Kind kind;
  int64_t existingId = -1;          // check mode: the row that is already there
  AnalysisPool::Ticket ticket = 0;  // a new file, watched and being analysed
  FileInfo info;
};

Walk::Walk(WalkMode walkMode, Database& database, DirectoryRows& directoryRows,
           FileCataloguer& fileCataloguer)
    : mode(walkMode),
      db(database),
      directories(directoryRows),
      files(fileCataloguer),
      group(database) {}

Walk::~Walk() {
  files.endAnalysis();
}

void Walk::traverseDir(const std::string& dirPath, int64_t parentId) {
  ancestors.clear();
  walkDir(dirPath, parentId);
  group.commit();
}

void Walk::walkDir(const std::string& dirPath, int64_t parentId) {
  DirHandle dir(opendir(dirPath.c_str()));
  if (dir == nullptr) {
    writeLog(LogId::OpenDirFailed, dirPath);
    return;
  }
  struct stat status;
  bool isTracked = fstat(dirfd(dir.get()), &status) == 0;
  if (isTracked) ancestors.emplace_back(status.st_dev, status.st_ino);

  bool isStopped = false;
  std::vector<Entry> entries;
  while (!isStopped) {
    entries.clear();
    while (entries.size() < kEntriesPerBatch) {
      const dirent* entry = readdir(dir.get());
      if (entry == nullptr) break;
      if (exitRequested()) {
        writeLog(LogId::WalkStopped);
        isStopped = true;
        break;
      }
      if (entry->d_name[0] == '.') continue;
      lookAtEntry(dirPath + entry->d_name, entries);
    }
    if (entries.empty() && !isStopped) break;
    isStopped = !writeEntries(entries, parentId) || isStopped;
  }

  group.beforeWrite();
  fillMapsSinceLastFill();
  if (isTracked) ancestors.pop_back();
}

// Classifies one entry; a new file of a catalogued kind is watched and
// submitted to analysis here, before any row of the batch is written.
void Walk::lookAtEntry(const std::string& entryPath, std::vector<Entry>& entries) {
  group.commitIfDue();
  if (Util::isDirExist(entryPath)) {
    entries.emplace_back(entryPath, Entry::Kind::Directory);
    return;
  }
  if (!Util::isFileExist(entryPath)) {
    writeLog(LogId::NotDirNorFile, entryPath);
    return;
  }
  Entry file(entryPath, Entry::Kind::File);
  if (mode == WalkMode::Check) file.existingId = DirectoryRows::findId(entryPath, db).idOrNone();
  if (file.existingId < 0) {
    if (!files.fillIfCatalogued(entryPath, file.info)) return;
    group.beforeSlowWork();
    if (files.waitUntilStable(file.info) != FileOutcome::Ready) return;
    file.ticket = files.analysis().submit(file.info);
  }
  entries.push_back(std::move(file));
}

// Writes the rows of entries in walk order and descends into directories.
// Returns false when the exit flag stopped the walk below, so this level
// must stop too.
bool Walk::writeEntries(std::vector<Entry>& entries, int64_t parentId) {
  std::string marks;  // FOUND marks of entries met again, sent together
  for (size_t i = 0; i < entries.size(); ++i) {
    Entry& entry = entries[i];
    if (entry.ticket != 0) awaitAnalyses(entries, i);
    group.beforeWrite();
    if (entry.existingId >= 0) {
      marks += CatalogSql::setFound(entry.existingId);
      continue;
    }
    markFound(marks);
    if (entry.kind == Entry::Kind::Directory) {
      visitDirectory(entry.path, parentId);
      if (exitRequested()) {
        writeLog(LogId::WalkStopped);
        return false;
      }
    } else if (entry.ticket != 0) {
      files.takeAnalysis(entry.ticket, entry.info);
      FileResult written = files.writeRows(entry.info, parentId, db);
      if (written.outcome == FileOutcome::Written)
        lastDetailId = std::max(lastDetailId, written.id);
    }
  }
  markFound(marks);
  return true;
}

// The write group may not stay open while a helper works. When this file's
// answer is not in yet, the group is committed and the answers of this file
// and the next few awaited, so that their rows then go into one group
// rather than one commit each.
void Walk::awaitAnalyses(const std::vector<Entry>& entries, size_t from) {
  AnalysisPool& pool = files.analysis();
  pool.pump(0);
  if (pool.isDone(entries[from].ticket)) return;
  group.beforeSlowWork();
  size_t awaited = 0;
  for (size_t i = from; i < entries.size() && awaited < kAnalysesAwaited; ++i) {
    if (entries[i].ticket == 0) continue;
    pool.wait(entries[i].ticket);
    ++awaited;
  }
}

// The marks only ever set FOUND, so their order among the other rows'
// writes does not matter; one statement text for many of them saves a
// parse each.
void Walk::markFound(std::string& marks) {
  if (marks.empty()) return;
  std::string errMsg;
  db.execute(marks, errMsg);  // a missed mark only costs a re-entry
  marks.clear();
}

// A directory row that cannot be written still gets walked with -1 as its
// ID: the entries below then find or enter their parent themselves. A
// directory already on the descent path (a symbolic link back to an
// ancestor) would repeat the walk until the path grew too long to open.
void Walk::visitDirectory(const std::string& entryPath, int64_t parentId) {
  struct stat status;
  if (stat(entryPath.c_str(), &status) == 0 &&
      std::find(ancestors.begin(), ancestors.end(), DirKey(status.st_dev, status.st_ino)) !=
          ancestors.end()) {
    writeLog(LogId::LoopSkipped, entryPath);
    return;
  }
  int64_t id = mode == WalkMode::Check ? DirectoryRows::findId(entryPath, db).idOrNone() : -1;
  if (id >= 0) {
    std::string errMsg;
    db.execute(CatalogSql::setFound(id), errMsg);  // a missed mark only costs a re-entry
  } else {
    id = directories.insertDir(entryPath, parentId, db);
  }
  walkDir(entryPath + "/", id);
}

// The first fill of a walk offers every detail row (the maps may lag from an
// earlier run); later fills only the rows written since the last good fill.
// Detail IDs only grow and nothing is pruned during a walk, so the maps end
// up exactly as with a full fill after every directory.
void Walk::fillMapsSinceLastFill() {
  if (mapsFilledBelow > lastDetailId) return;  // nothing new since the last fill
  std::string errMsg;
  std::string sql =
      mapsFilledBelow == 0 ? CatalogSql::fillMaps() : CatalogSql::fillMapsFrom(mapsFilledBelow);
  if (db.execute(sql, errMsg) < 0) {
    writeLog(LogId::WalkFillMapsFailed, errMsg);
    return;
  }
  mapsFilledBelow = lastDetailId + 1;
}
