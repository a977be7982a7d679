// Sync/Walk.h: one walk over the shared folders, for the first build or for
// the full check.
//
// Entries come in directory-stream order; hidden names (and "." and "..")
// are skipped with everything below them. A directory is entered as a row
// and walked; a readable regular file of a catalogued kind is catalogued.
// Symbolic links are followed. Each directory is opened once, relative to
// its parent, and each other entry costs one status call. In check
// mode every path met is looked up first: a row found is only marked FOUND
// (and moved under its directory's row if it hangs elsewhere), so rows met
// again keep their IDs and details.
//
// The walk looks ahead: it reads entries depth first and hands them to a
// pipeline, which watches and analyses the files ahead and writes every
// row in the order of a depth-first walk, so the IDs and parents come out
// as if each row had been written on its own (but for a file still being
// copied, whose row comes once it is stable). Rows go out in write groups.
// The album, artist and genre maps are refilled after each directory, so
// that albums appear while a long first build runs.
//
// A walk object lives for one build or one check; it owns the walk's state:
// the mode, the open directories of the descent path (to skip symbolic-link
// loops), the write group and what the maps already hold.
//
// A walk knows whether it saw everything (outcome): a row that could not be
// written or looked up, a write group that could not land, or a directory
// that could not be read makes it Incomplete, and a check sweeps only after
// a Complete walk. The paths whose rows were not written go to the pending
// changes, for the next cycle. A directory ID handed out in a group that
// did not land is forgotten, since SQLite hands it out again: the entries
// below then find or enter their parent themselves.
#ifndef OMBRIX_SYNC_WALK_H
#define OMBRIX_SYNC_WALK_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Sync/WriteGroup.h"

class FileInfo;
struct dirent;
struct stat;

class Catalog;
class DirectoryRows;
class FileCataloguer;
class Pipeline;
struct PendingChanges;

enum class WalkMode { Build, Check };
enum class WalkOutcome { Complete, Stopped, Incomplete };

class Walk {
 public:
  Walk(WalkMode mode, Catalog& catalog, DirectoryRows& directories, FileCataloguer& files,
       PendingChanges& pending);
  ~Walk();
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Walks dirPath (ending in "/") whose own row is parentId (-1 when that
  // row is not known: the entries then find or enter their parent
  // themselves). Stops early, leaving the rest unvisited, when the exit flag
  // is raised. Files met while still being copied are left to the pending
  // changes.
  void traverseDir(const std::string& dirPath, int64_t parentId);

  // A row the walk needs that could not be found or written (a folder's
  // own row): path waits in the pending changes, and the walk is incomplete.
  void leaveForRetry(const std::string& path);
  // Marks a row met again (FOUND = 1).
  void markFound(int64_t id);
  WalkOutcome outcome() const;

 private:
  struct OpenDir;
  // A directory's row ID, known once its row is written.
  using RowId = std::shared_ptr<int64_t>;

  void openDir(const std::string& dirPath, RowId id);
  bool readNextEntry(Pipeline& pipeline);
  void addEntry(const dirent& entry, Pipeline& pipeline);
  void addDirectory(int dirFd, const char* name, const std::string& path, const RowId& parentId,
                    Pipeline& pipeline);
  void writeDirectory(const std::string& path, const RowId& parentId, const RowId& id);
  void addFile(const std::string& path, const struct stat& status, const RowId& parentId,
               Pipeline& pipeline);
  void writeFile(const FileInfo& info, const RowId& parentId);
  void keepUnder(int64_t id, int64_t currentParent, int64_t parentId);
  void endDirectory();
  void fillMapsSinceLastFill();

  const WalkMode mode;
  Catalog& catalog;
  DirectoryRows& directories;
  FileCataloguer& files;
  PendingChanges& pending;
  WriteGroup group;
  std::vector<OpenDir> openDirs;  // the descent path, outermost first
  bool isStopped = false;
  bool isIncomplete = false;
  // Detail rows with an ID below mapsFilledBelow have their names in the
  // maps; 0 means nothing is known yet, so the first fill is a full one.
  int64_t mapsFilledBelow = 0;
  int64_t lastDetailId = 0;  // the newest detail row this walk wrote
};

#endif  // OMBRIX_SYNC_WALK_H
