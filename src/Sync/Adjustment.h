// Sync/Adjustment.h: applies the difference between two listings to the
// catalogue while the service runs.
//
// Each "<" line of findDiff.txt deletes the row of its path, each ">" line
// enters its path unless it is catalogued already; afterwards the album,
// artist and genre maps are brought in line with FILEDETAIL. New directories
// are not walked: find listed their contents too, each on a line of its own.
//
// The rows go out in short write groups, as a walk's do (a commit of its
// own for each of a thousand copied files would cost a sync each). A change
// the catalogue refused (the media server holding a lock past the retries,
// an I/O error, a look-up that failed), or one whose group could not land,
// is kept in the service loop's PendingChanges and retried at the start of
// each later cycle: otherwise a new file would be missing from the
// television, or a deleted one still listed, until the next start's full
// check. The adjustment keeps no state of its own between calls.
#ifndef OMBRIX_SYNC_ADJUSTMENT_H
#define OMBRIX_SYNC_ADJUSTMENT_H

#include <string>

#include "Common/LogContract.h"

class Catalog;
class DirectoryRows;
class FileCataloguer;
class Pipeline;
class SharedFolders;
struct PendingChanges;
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
  void adjustDatabase(PendingChanges& pending);

  // Carries on, at the start of each cycle, with what earlier cycles left:
  // retries the changes the database refused, until each succeeds, its path
  // is gone again (an insertion) or back on disk (a deletion), and watches
  // again the files that were still being copied. Returns true when there
  // was something to do.
  bool retryPendingChanges(PendingChanges& pending);

 private:
  struct Run;

  // Deletes the row of path (one trailing "/" removed); its detail row goes
  // with it through the catalogue's trigger. Only the one row: a removed
  // directory's contents come as lines of their own. Returns false when a
  // catalogue failure kept the row in, true otherwise (also when there was
  // no row to delete).
  bool deleteObject(std::string path, Run& run);
  void applyDiffLine(const std::string& line, Run& run);
  // Hands the entering of path (a directory or a file, unless it is
  // catalogued already) to the pipeline; a catalogue failure keeps it for a
  // retry.
  void addChangedPath(const std::string& path, Run& run);
  // Runs what the pipeline holds and commits; the files still being copied
  // are left for the next cycle.
  void finish(Run& run);
  // Enters a directory unless it is catalogued already; false when a
  // catalogue failure kept it out.
  bool insertDirIfNew(const std::string& path, Catalog& catalog);
  void refreshMaps(Catalog& catalog, LogId pruneFailed, LogId fillFailed);

  const WorkFiles& workFiles;
  const SharedFolders& folders;
  DirectoryRows& directories;
  FileCataloguer& cataloguer;
};

#endif  // OMBRIX_SYNC_ADJUSTMENT_H
