// Sync/DirectoryRows.h: container rows and look-ups by path, shared by the
// walk, the file cataloguing and the adjustment.
//
// IDs are int64: passed in, -1 means "unknown, look it up"; 0 is the
// catalogue root, the parent of every shared folder's row. A PATH in the
// catalogue never ends in "/".
#ifndef OMBRIX_SYNC_DIRECTORYROWS_H
#define OMBRIX_SYNC_DIRECTORYROWS_H

#include <cstdint>
#include <string>

#include "Database/Database.h"

class SharedFolders;

class DirectoryRows {
 public:
  explicit DirectoryRows(const SharedFolders& folders) : folders(folders) {}

  // The row whose PATH equals path exactly (no slash added or removed).
  static Lookup findId(const std::string& path, Database& db);
  // The row of path's parent directory.
  static Lookup findParentId(const std::string& path, Database& db);

  // Enters a directory row (one trailing "/" removed). A negative parentId is
  // looked up, and missing ancestors are entered first, from the top down,
  // starting below the nearest one that is catalogued, a shared folder or
  // the root. Returns the new ID; 0 for the root or a path too short to
  // enter; -1 when the row could not be written (logged). Never looks the
  // path itself up: a caller that may meet a catalogued directory asks
  // findId first. "Insert dir: " is written once the row is durable.
  int64_t insertDir(std::string path, int64_t parentId, Database& db);

 private:
  const SharedFolders& folders;
};

#endif  // OMBRIX_SYNC_DIRECTORYROWS_H
