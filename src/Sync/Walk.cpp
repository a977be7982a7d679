// Sync/Walk.cpp: reading the folders depth first, and the rows of what is
// found, in order.
#include "Sync/Walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Database/Catalog.h"
#include "Media/FileInfo.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"
#include "Sync/PendingChanges.h"
#include "Sync/Pipeline.h"

namespace {

// Entries read before the ready rows are written: the writer keeps up with
// the reader, and the group's commits stay regular.
constexpr int kEntriesPerTurn = 64;

// A directory that cannot be opened for one of these reasons is not there to
// be catalogued (ombrix-check does not count it either); any other reason
// (no file descriptors left, an I/O error) says nothing about its contents.
bool isTrueAbsence(int error) {
  return error == EACCES || error == ENOENT || error == ENOTDIR || error == ELOOP;
}

}  // namespace

struct Walk::OpenDir {
  DirHandle dir;
  std::string path;  // ends in "/"
  RowId id;
  dev_t device;
  ino_t inode;
};

Walk::Walk(WalkMode walkMode, Catalog& theCatalog, DirectoryRows& directoryRows,
           FileCataloguer& fileCataloguer, PendingChanges& pendingChanges)
    : mode(walkMode),
      catalog(theCatalog),
      directories(directoryRows),
      files(fileCataloguer),
      pending(pendingChanges),
      group(theCatalog) {}

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
  for (const std::string& path : pipeline.finish()) {
    PendingChanges::remember(pending.unsettled, path);
  }
  endDirectory();  // for files that were set aside while being copied
  group.commit();
}

WalkOutcome Walk::outcome() const {
  if (isStopped || exitRequested()) return WalkOutcome::Stopped;
  return isIncomplete || group.hasLostWrites() ? WalkOutcome::Incomplete : WalkOutcome::Complete;
}

// A shared folder, by its path: its entries are then opened relative to it.
void Walk::openDir(const std::string& dirPath, RowId id) {
  DirHandle dir(opendir(dirPath.c_str()));
  if (dir == nullptr) {
    if (!isTrueAbsence(errno)) isIncomplete = true;
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
    isStopped = true;
    return false;
  }
  OpenDir& innermost = openDirs.back();
  errno = 0;
  const dirent* entry = TestSeams::shouldFail(TestSeams::Fault::ReaddirFails)
                            ? (errno = EIO, nullptr)
                            : readdir(innermost.dir.get());
  if (entry == nullptr) {
    // An error ends this directory's entries early: what was not read is
    // not known to be gone.
    if (errno != 0) {
      writeLog(LogId::ReadDirFailed, innermost.path + ": " + std::strerror(errno));
      isIncomplete = true;
    }
    openDirs.pop_back();
    pipeline.addAction([this] { endDirectory(); });
    return true;
  }
  if (entry->d_name[0] != '.') addEntry(*entry, pipeline);
  return true;
}

// One system call tells what an entry is: a directory the entry's type
// names is opened at once (the open is the test), anything else gets one
// status call that follows links, whose result also fills the file's
// record. A type the file system does not give (DT_UNKNOWN) is a status
// call too.
void Walk::addEntry(const dirent& entry, Pipeline& pipeline) {
  const OpenDir& innermost = openDirs.back();
  const int dirFd = dirfd(innermost.dir.get());
  const std::string path = innermost.path + entry.d_name;
  const RowId parentId = innermost.id;  // addDirectory moves the descent path
  struct stat status {};
  bool isDir = entry.d_type == DT_DIR;
  if (!isDir && fstatat(dirFd, entry.d_name, &status, 0) == 0) isDir = S_ISDIR(status.st_mode);
  if (isDir) {
    addDirectory(dirFd, entry.d_name, path, parentId, pipeline);
  } else if (Util::isReadableFile(dirFd, entry.d_name, status)) {
    addFile(path, status, parentId, pipeline);
  } else {
    writeLog(LogId::NotDirNorFile, path);
  }
}

// A directory already on the descent path (a symbolic link back to an
// ancestor) would repeat the walk until the path grew too long to open. A
// directory that cannot be opened is not there to be catalogued, as for
// ombrix-check, unless the reason says nothing about it (no descriptors
// left, an I/O error): then the walk is incomplete. A directory row that
// cannot be written still gets walked with -1 as its ID: the entries below
// then find or enter their parent themselves.
void Walk::addDirectory(int dirFd, const char* name, const std::string& path, const RowId& parentId,
                        Pipeline& pipeline) {
  FdHandle fd(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  DirHandle dir(fd.isOpen() ? fdopendir(fd.get()) : nullptr);
  if (dir == nullptr) {
    if (isTrueAbsence(errno)) {
      writeLog(LogId::NotDirNorFile, path);
    } else {
      writeLog(LogId::OpenDirFailed, path + "/");
      isIncomplete = true;
    }
    return;
  }
  fd.release();  // the stream owns it now
  struct stat status {};
  fstat(dirfd(dir.get()), &status);  // a failure leaves 0:0, which no directory has
  if (std::any_of(openDirs.begin(), openDirs.end(), [&](const OpenDir& open) {
        return open.device == status.st_dev && open.inode == status.st_ino;
      })) {
    pipeline.addAction([path] { writeLog(LogId::LoopSkipped, path); });
    return;
  }
  RowId id = std::make_shared<int64_t>(-1);
  pipeline.addAction([this, path, parentId, id] { writeDirectory(path, parentId, id); });
  openDirs.push_back(OpenDir{std::move(dir), path + "/", id, status.st_dev, status.st_ino});
}

// Looked up in its turn in a check: a file before it may have entered it as
// a parent. When the look-up fails the directory may well have a row: none
// is entered, and its ID stays unknown, so the entries below look their
// parent up themselves.
void Walk::writeDirectory(const std::string& path, const RowId& parentId, const RowId& id) {
  group.beforeWrite();
  if (mode == WalkMode::Check) {
    int64_t foundParent = -1;
    IdResult found = catalog.findRow(path, foundParent);
    if (found.isOk()) {
      *id = found.id;
      markFound(found.id);
      // A shared folder nested in another may hang under either.
      if (!directories.isSharedFolder(path)) keepUnder(found.id, foundParent, *parentId);
      return;
    }
    if (found.status.isError()) {
      leaveForRetry(path);
      return;
    }
  }
  IdResult entered = directories.insertDir(path, *parentId, catalog);
  if (!entered.isOk()) {
    leaveForRetry(path);
    return;
  }
  *id = entered.id;
  catalog.afterDiscard([this, path, id] {
    *id = -1;
    leaveForRetry(path);
  });
}

void Walk::addFile(const std::string& path, const struct stat& status, const RowId& parentId,
                   Pipeline& pipeline) {
  if (mode == WalkMode::Check) {
    int64_t foundParent = -1;
    IdResult existing = catalog.findRow(path, foundParent);
    if (existing.isOk()) {
      // In its turn: the directory's own row is known only then.
      pipeline.addAction([this, id = existing.id, foundParent, parentId] {
        markFound(id);
        keepUnder(id, foundParent, *parentId);
        notifyFileMet();
      });
      return;
    }
    if (existing.status.isError()) {
      leaveForRetry(path);  // it may have a row: entering it could make a second one
      return;
    }
  }
  FileInfo info;
  if (!files.fillIfCatalogued(path, status, info)) return;
  pipeline.addFile(info, [this, parentId](const FileInfo& analysed) {
    writeFile(analysed, parentId);
    notifyFileMet();
  });
}

void Walk::writeFile(const FileInfo& info, const RowId& parentId) {
  group.beforeWrite();
  const std::string& path = info.fullPathName;
  IdResult written = files.writeRows(info, *parentId, catalog);
  if (!written.isOk()) {
    leaveForRetry(path);
    return;
  }
  lastDetailId = std::max(lastDetailId, written.id);
  catalog.afterDiscard([this, path] { leaveForRetry(path); });
}

// A row left under another parent (by a version that reused the IDs of a
// write group that did not land) is moved under its directory's row.
void Walk::keepUnder(int64_t id, int64_t currentParent, int64_t parentId) {
  if (parentId < 0 || currentParent == parentId) return;
  group.beforeWrite();
  if (!catalog.setParent(id, parentId).isOk()) isIncomplete = true;
}

void Walk::leaveForRetry(const std::string& path) {
  PendingChanges::remember(pending.inserts, path);
  isIncomplete = true;
}

// The marks of a directory's rows are all written, then its files reach
// the maps.
void Walk::endDirectory() {
  group.beforeWrite();
  fillMapsSinceLastFill();
}

// A mark that is not written leaves a row that the sweep would delete: the
// check must not sweep.
void Walk::markFound(int64_t id) {
  group.beforeWrite();
  if (!catalog.setFound(id).isOk()) isIncomplete = true;
}

// The first fill of a walk offers every detail row (the maps may lag from an
// earlier run); later fills only the rows written since the last good fill.
// Detail IDs only grow and nothing is pruned during a walk, so the maps end
// up exactly as with a full fill after every directory.
//
// A fill in a group that is lost goes with it, and the IDs it covered are
// handed out again: the next fill is a full one.
void Walk::fillMapsSinceLastFill() {
  if (mapsFilledBelow > lastDetailId) return;  // nothing new since the last fill
  Status filled = mapsFilledBelow == 0 ? catalog.fillMaps() : catalog.fillMapsFrom(mapsFilledBelow);
  if (!filled.isOk()) {
    writeLog(LogId::WalkFillMapsFailed, filled.message);
    return;
  }
  mapsFilledBelow = lastDetailId + 1;
  catalog.afterDiscard([this] { mapsFilledBelow = lastDetailId = 0; });
}
