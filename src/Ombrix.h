// Ombrix.h: the CatalogBuilder, which keeps the catalogue in step with the
// shared folders.
//
// One builder lives as long as the process. It knows the service home, the
// shared folders and the working files under home/nstemp, and carries the
// first build (walk every folder), the full check (mark, walk, sweep), the
// change detection (find + diff into snapshot files) and the incremental
// adjustment (apply each diff line). It holds no open file and no connection
// between calls: each of buildDatabase, checkDatabase and adjustDatabase makes
// one Database and passes it down.
//
// Conventions: shared-folder entries and directory paths handed to the walk
// end in "/"; a PATH in the catalogue does not. IDs are int64: -1 means
// "unknown, look it up" when passed in and "not found or failed" when
// returned; 0 is the catalogue root, the parent of every shared folder's row.
//
// Thread-safety: one thread only. The long loops poll the AppStatus exit
// flag, which a signal handler may set at any moment.
#ifndef OMBRIX_OMBRIX_H
#define OMBRIX_OMBRIX_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Common/Logger.h"

class AnalysisChild;
class Database;
class FileInfo;

// What the size watch needs from the outside world. The defaults are the
// system clock and sleep(1); tests put in a fake clock so that a watch runs
// without waiting and "old" files can be had without setting ctime back.
struct WatchClock {
  std::function<time_t()> now;
  std::function<void()> sleepOneSecond;

  static WatchClock system();
};

// Seconds between two whole-second clock readings in the default stream
// notation ("12", not "12.000000"), as the timing records write them.
std::string timingText(time_t start, time_t end);

class CatalogBuilder {
 public:
  // Derives the catalogue and snapshot paths from homeDir (one trailing "/"
  // removed); touches no file.
  explicit CatalogBuilder(const std::string& homeDir);
  ~CatalogBuilder();
  CatalogBuilder(const CatalogBuilder&) = delete;
  CatalogBuilder& operator=(const CatalogBuilder&) = delete;

  // Appends the folder with a trailing "/". No test of existence, duplicates
  // or nesting: the entry point has checked it with isDirExist.
  void addSharedPath(std::string path);

  // True when the catalogue is a regular file that can be read.
  bool dbExists() const;

  // Removes the previous run's findOld.txt and findDiff.txt.
  void clearSnapshots();

  // Lists the folders into findNew.txt, compares it with findOld.txt into
  // findDiff.txt when both exist, then makes findNew.txt the new findOld.txt.
  // True when the diff file written by this call is not empty.
  bool isChanged();

  // Creates the catalogue from nothing and walks every shared folder.
  void buildDatabase();

  // Marks every row unseen, walks the folders marking what is still there and
  // entering what is new, then deletes the unseen rows, unless the exit flag
  // stopped the walk (an incomplete walk must not delete anything).
  void checkDatabase();

  // Applies findDiff.txt line by line ("<" deletes, ">" enters), then prunes
  // and refills the album, artist and genre maps. A change that fails for a
  // database reason (the media server holding a lock, an I/O error) is kept
  // for retryPendingChanges.
  void adjustDatabase();

  // Retries the changes that earlier adjustments could not write, at the
  // start of each cycle, until each succeeds, its path is gone again (an
  // insertion) or no longer catalogued (a deletion). Returns true when there
  // was something to retry.
  bool retryPendingChanges();
  size_t getPendingChangeCount() const { return pendingInserts.size() + pendingDeletes.size(); }

  // Walks dirPath (ending in "/") whose own row is parentId (-1 if that row
  // could not be written). In check mode paths already catalogued are only
  // marked found.
  void traverseDir(const std::string& dirPath, int64_t parentId, Database& db, bool checkMode);

  // Enters a directory row; a negative parentId is looked up, and missing
  // ancestors are entered first. Returns the new ID, 0 when the path is the
  // root or a one-byte path, or -1. Never looks the path itself up.
  int64_t insertDir(std::string path, int64_t parentId, Database& db);

  // The ID of the row whose PATH equals path exactly, or -1.
  int64_t findId(std::string path, Database& db);
  int64_t findParentId(std::string path, Database& db);

  // Catalogues one image, audio or video file with its detail row in one
  // transaction. Returns the new ID, or -1: for files of other kinds
  // (silently), for a file that vanished or was abandoned during the size
  // watch, and on failure (logged).
  int64_t insertFile(std::string path, int64_t parentId, Database& db);

  // Waits until a freshly changed file stops growing and refills info.
  // Returns false, leaving info alone, when the file vanished during the
  // watch or the exit flag was raised: such a file must not be catalogued.
  bool waitForStableFile(FileInfo& info);

  // Deletes the row of path (one trailing "/" removed); its detail row goes
  // with it through the catalogue's trigger. Returns false when the look-up
  // or the deletion failed for a database reason (not when no row matched).
  bool deleteObject(std::string path, Database& db);

  void setWatchClock(WatchClock clock) { watchClock = std::move(clock); }

  const std::string& getFindOldPath() const { return findOldPath; }
  const std::string& getFindDiffPath() const { return findDiffPath; }

 private:
  // A directory on the current descent path, by device and inode.
  using DirKey = std::pair<dev_t, ino_t>;

  struct WalkEntry;

  void walkDir(const std::string& dirPath, int64_t parentId, Database& db, bool checkMode,
               std::vector<DirKey>& ancestors);
  void lookAtEntry(const std::string& entryPath, Database& db, bool checkMode,
                   std::vector<WalkEntry>& entries);
  bool writeEntries(std::vector<WalkEntry>& entries, int64_t parentId, Database& db, bool checkMode,
                    std::vector<DirKey>& ancestors);
  void visitDirEntry(const std::string& entryPath, int64_t parentId, Database& db, bool checkMode,
                     std::vector<DirKey>& ancestors);
  void addPathIndex(Database& db);
  void markFound(std::string& marks, Database& db);
  void fillMapsSinceLastFill(Database& db);
  // A walk starts with a full fill of the maps.
  void startMapTracking() {
    mapsFilledBelow = 0;
    lastDetailId = 0;
  }
  void openGroup(Database& db);
  void commitGroup(Database& db);
  void commitGroupIfDue(Database& db);
  int64_t writeNewFile(const FileInfo& info, int64_t parentId, Database& db);
  int64_t insertDirUnderSharedRoot(const std::string& path, Database& db);
  int64_t writeFileRows(const FileInfo& info, int64_t parentId, Database& db);
  void analyze(FileInfo& info);
  void applyDiffLine(const std::string& line, Database& db);
  // Enters path (a directory or a file) as the adjustment does; false when a
  // database failure kept it out.
  bool insertChangedPath(const std::string& path, Database& db);
  void refreshMaps(Database& db, const LogSite& pruneFailed, const LogSite& fillFailed);
  std::string listCommandText() const;
  // True when path lies below (or is) one of the shared folder entries.
  bool isBelowSharedFolder(const std::string& path) const;
  bool takeSnapshot(std::string& errMsg);
  bool keepPreviousSnapshot(const std::string& failedPath, const std::string& errMsg);

  std::vector<std::string> sharedPaths;
  std::string homeDir;
  std::string dbPath;
  std::string findOldPath;
  std::string findNewPath;
  std::string findDiffPath;
  WatchClock watchClock;
  // Started on the first analysis and kept: one fork per crash, not per file.
  std::unique_ptr<AnalysisChild> analysisChild;
  // Set when the last insertFile gave no row because of the database (not
  // because of the file): such an insertion is worth a retry.
  bool lastInsertFailedInDatabase = false;
  // During a walk: detail rows with an ID below mapsFilledBelow have their
  // names in the maps; lastDetailId is the newest detail row written.
  int64_t mapsFilledBelow = 0;
  int64_t lastDetailId = 0;
  // Changes that failed for a database reason, oldest first.
  std::vector<std::string> pendingInserts;
  std::vector<std::string> pendingDeletes;
};

#endif  // OMBRIX_OMBRIX_H
