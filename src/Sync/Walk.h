// Sync/Walk.h: one walk over the shared folders, for the first build or for
// the full check.
//
// Entries come in directory-stream order; hidden names (and "." and "..")
// are skipped with everything below them. A directory is entered as a row
// and walked; a regular file of a catalogued kind is catalogued. In check
// mode every path met is looked up first: a row found is only marked FOUND,
// so rows met again keep their IDs and details.
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
#ifndef OMBRIX_SYNC_WALK_H
#define OMBRIX_SYNC_WALK_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Sync/WriteGroup.h"

class Database;
class DirectoryRows;
class FileCataloguer;
class Pipeline;

enum class WalkMode { Build, Check };

class Walk {
 public:
  Walk(WalkMode mode, Database& db, DirectoryRows& directories, FileCataloguer& files);
  ~Walk();
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Walks dirPath (ending in "/") whose own row is parentId (-1 when that
  // row could not be written: the entries then find or enter their parent
  // themselves). Stops early, leaving the rest unvisited, when the exit flag
  // is raised.
  void traverseDir(const std::string& dirPath, int64_t parentId);

  // The files the walk met while they were still being copied: not
  // catalogued yet, left for the service's next cycles.
  std::vector<std::string> takeUnsettled() { return std::move(unsettled); }

 private:
  struct OpenDir;
  // A directory's row ID, known once its row is written.
  using RowId = std::shared_ptr<int64_t>;

  void openDir(const std::string& dirPath, RowId id);
  bool readNextEntry(Pipeline& pipeline);
  void addDirectory(const std::string& path, const RowId& parentId, Pipeline& pipeline);
  void addFile(const std::string& path, const RowId& parentId, Pipeline& pipeline);
  void markFound(int64_t id);
  void endDirectory();
  void sendMarks();
  void fillMapsSinceLastFill();

  const WalkMode mode;
  Database& db;
  DirectoryRows& directories;
  FileCataloguer& files;
  WriteGroup group;
  std::vector<OpenDir> openDirs;  // the descent path, outermost first
  std::string marks;              // FOUND marks not sent yet
  std::vector<std::string> unsettled;
  // Detail rows with an ID below mapsFilledBelow have their names in the
  // maps; 0 means nothing is known yet, so the first fill is a full one.
  int64_t mapsFilledBelow = 0;
  int64_t lastDetailId = 0;  // the newest detail row this walk wrote
};

#endif  // OMBRIX_SYNC_WALK_H
