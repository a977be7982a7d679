// Sync/Adjustment.h: applies the difference between two listings to the
// catalogue while the service runs.
//
// Each "<" line of findDiff.txt deletes the row of its path, each ">" line
// enters its path unless it is catalogued already; afterwards the album,
// artist and genre maps are brought in line with FILEDETAIL. New directories
// are not walked: find listed their contents too, each on a line of its own.
//
// A change the database refused (the media server holding a lock, an I/O
// error) is kept and retried at the start of each later cycle: otherwise a
// new file would be missing from the television, or a deleted one still
// listed, until the next start's full check.
#ifndef OMBRIX_SYNC_ADJUSTMENT_H
#define OMBRIX_SYNC_ADJUSTMENT_H

#include <cstddef>
#include <string>
#include <vector>

#include "Common/LogContract.h"

class Database;
class DirectoryRows;
class FileCataloguer;
class Pipeline;
class SharedFolders;
struct WorkFiles;

class Adjustment {
 public:
  Adjustment(const WorkFiles& files, const SharedFolders& folders, DirectoryRows& directories,
             FileCataloguer& cataloguer)
      : workFiles(files), folders(folders), directories(directories), cataloguer(cataloguer) {}

  // Applies findDiff.txt line by line, then prunes and refills the maps. New
  // files are watched and analysed ahead, several at a time, and written in
  // line order; one still being copied is written once it is stable, in
  // this cycle or a later one. The exit flag drops the remaining lines (the
  // next start's check applies them); the maps are refreshed all the same.
  void adjustDatabase();

  // Carries on, at the start of each cycle, with what earlier cycles left:
  // retries the changes the database refused, until each succeeds, its path
  // is gone again (an insertion) or back on disk (a deletion), and watches
  // again the files that were still being copied. Returns true when there
  // was something to do.
  bool retryPendingChanges();
  size_t pendingChangeCount() const {
    return pendingInserts.size() + pendingDeletes.size() + unsettled.size();
  }

  // Files a walk met while they were still being copied, for the next cycle.
  void carryOver(const std::vector<std::string>& paths);

 private:
  // Deletes the row of path (one trailing "/" removed); its detail row goes
  // with it through the catalogue's trigger. Only the one row: a removed
  // directory's contents come as lines of their own. Returns false when a
  // database failure kept the row in, true otherwise (also when there was no
  // row to delete).
  bool deleteObject(std::string path, Database& db);
  void applyDiffLine(const std::string& line, Database& db, Pipeline& pipeline);
  // Hands the entering of path (a directory or a file, unless it is
  // catalogued already) to the pipeline; a database failure keeps it for a
  // retry.
  void addChangedPath(const std::string& path, Database& db, Pipeline& pipeline);
  // Runs what pipeline holds; the files still being copied are left for
  // the next cycle.
  void finish(Pipeline& pipeline);
  // Enters a directory unless it is catalogued already; false when a
  // database failure kept it out.
  bool insertDirIfNew(const std::string& path, Database& db);
  void refreshMaps(Database& db, LogId pruneFailed, LogId fillFailed);

  const WorkFiles& workFiles;
  const SharedFolders& folders;
  DirectoryRows& directories;
  FileCataloguer& cataloguer;
  // Changes that failed for a database reason, oldest first.
  std::vector<std::string> pendingInserts;
  std::vector<std::string> pendingDeletes;
  // Files seen growing when the work of a cycle was done.
  std::vector<std::string> unsettled;
};

#endif  // OMBRIX_SYNC_ADJUSTMENT_H
