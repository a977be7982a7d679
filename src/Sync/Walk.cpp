// Sync/Walk.cpp: reading the folders depth first, and the rows of what is
// found, in order.
#include "Sync/Walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Media/FileInfo.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"
#include "Sync/Pipeline.h"

namespace {

// Entries read before the ready rows are written: the writer keeps up with
// the reader, and the group's commits stay regular.
constexpr int kEntriesPerTurn = 64;
// FOUND marks sent in one statement text: one parse instead of thousands.
constexpr size_t kMarksPerText = 32 * 1024;

}  // namespace

struct Walk::OpenDir {
  DirHandle dir;
  std::string path;  // ends in "/"
  RowId id;
  dev_t device;
  ino_t inode;
};

Walk::Walk(WalkMode walkMode, Database& database, DirectoryRows& directoryRows,
           FileCataloguer& fileCataloguer)
    : mode(walkMode),
      db(database),
      directories(directoryRows),
      files(fileCataloguer),
      group(database) {}

Walk::~Walk() = default;

void Walk::traverseDir(const std::string& dirPath, int64_t parentId) {
  Pipeline pipeline(files, &group);
  openDir(dirPath, std::make_shared<int64_t>(parentId));
  for (bool isReading = true; isReading;) {
    for (int n = 0; n < kEntriesPerTurn && !pipeline.isFull() && isReading; ++n) {
      isReading = readNextEntry(pipeline);
    }
    pipeline.runReady();
    notifyProgress();
    if (pipeline.isFull()) pipeline.waitForProgress();
  }
  for (std::string& path : pipeline.finish()) unsettled.push_back(std::move(path));
  endDirectory();  // for files that were set aside while being copied
  group.commit();
}

void Walk::openDir(const std::string& dirPath, RowId id) {
  DirHandle dir(opendir(dirPath.c_str()));
  if (dir == nullptr) {
    writeLog(LogId::OpenDirFailed, dirPath);
    return;
  }
  struct stat status {};
  fstat(dirfd(dir.get()), &status);  // a failure leaves 0:0, which no directory has
  openDirs.push_back(OpenDir{std::move(dir), dirPath, std::move(id), status.st_dev, status.st_ino});
}

// Reads one entry of the innermost open directory and hands what it is to
// the pipeline. When a directory is exhausted, the maps are refilled in its
// turn: right after its entries and everything below them. Returns false
// when the walk is over, or stopped by the exit flag (one record for each
// directory left open, as each level stops).
bool Walk::readNextEntry(Pipeline& pipeline) {
  if (openDirs.empty()) return false;
  group.commitIfDue();
  if (exitRequested()) {
    for (size_t level = 0; level < openDirs.size(); ++level) writeLog(LogId::WalkStopped);
    openDirs.clear();
    return false;
  }
  OpenDir& innermost = openDirs.back();
  const dirent* entry = readdir(innermost.dir.get());
  if (entry == nullptr) {
    openDirs.pop_back();
    pipeline.addAction([this] { endDirectory(); });
    return true;
  }
  if (entry->d_name[0] == '.') return true;
  std::string path = innermost.path + entry->d_name;
  RowId parentId = innermost.id;
  // A regular file needs no attempt to open it as a directory; a link or an
  // unknown type does.
  if (entry->d_type != DT_REG && Util::isDirExist(path)) {
    addDirectory(path, parentId, pipeline);
  } else if (Util::isFileExist(path)) {
    addFile(path, parentId, pipeline);
  } else {
    writeLog(LogId::NotDirNorFile, path);
  }
  return true;
}

// A directory already on the descent path (a symbolic link back to an
// ancestor) would repeat the walk until the path grew too long to open. A
// directory row that cannot be written still gets walked with -1 as its ID:
// the entries below then find or enter their parent themselves.
void Walk::addDirectory(const std::string& path, const RowId& parentId, Pipeline& pipeline) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 &&
      std::any_of(openDirs.begin(), openDirs.end(), [&](const OpenDir& open) {
        return open.device == status.st_dev && open.inode == status.st_ino;
      })) {
    pipeline.addAction([path] { writeLog(LogId::LoopSkipped, path); });
    return;
  }
  RowId id = std::make_shared<int64_t>(-1);
  pipeline.addAction([this, path, parentId, id] {
    group.beforeWrite();
    // Looked up in its turn: a file before it may have entered it as a parent.
    *id = mode == WalkMode::Check ? DirectoryRows::findId(path, db).idOrNone() : -1;
    if (*id >= 0) {
      markFound(*id);
    } else {
      *id = directories.insertDir(path, *parentId, db);
    }
  });
  openDir(path + "/", id);
}

void Walk::addFile(const std::string& path, const RowId& parentId, Pipeline& pipeline) {
  if (mode == WalkMode::Check) {
    Lookup existing = DirectoryRows::findId(path, db);
    if (existing.isFound()) {
      markFound(existing.value);
      notifyFileMet();
      return;
    }
  }
  FileInfo info;
  if (!files.fillIfCatalogued(path, info)) return;
  pipeline.addFile(info, [this, parentId](const FileInfo& analysed) {
    group.beforeWrite();
    lastDetailId = std::max(lastDetailId, files.writeRows(analysed, *parentId, db));
    notifyFileMet();
  });
}

// The marks of a directory's rows go out, then its files reach the maps.
void Walk::endDirectory() {
  sendMarks();
  group.beforeWrite();
  fillMapsSinceLastFill();
}

// The marks only ever set FOUND, so when they are sent among the other
// rows' writes does not matter.
void Walk::markFound(int64_t id) {
  marks += CatalogSql::setFound(id);
  if (marks.size() >= kMarksPerText) sendMarks();
}

void Walk::sendMarks() {
  if (marks.empty()) return;
  group.beforeWrite();
  std::string errMsg;
  db.execute(marks, errMsg);  // a missed mark only costs a re-entry
  marks.clear();
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
