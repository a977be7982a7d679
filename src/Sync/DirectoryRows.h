// Sync/DirectoryRows.h: container rows and look-ups by path, shared by the
// walk, the file cataloguing and the adjustment.
//
// IDs are int64: passed in, -1 means "unknown, look it up"; 0 is the
// catalogue root, the parent of every shared folder's row. A PATH in the
// catalogue never ends in "/". A look-up that failed is never taken for a
// row that is not there: nothing is entered on the strength of it, so no
// path ever gets a second row.
#ifndef OMBRIX_SYNC_DIRECTORYROWS_H
#define OMBRIX_SYNC_DIRECTORYROWS_H

#include <cstdint>
#include <string>

#include "Database/Catalog.h"

class SharedFolders;

class DirectoryRows {
 public:
  explicit DirectoryRows(const SharedFolders& folders) : folders(folders) {}

  // The row whose PATH equals path exactly (no slash added or removed).
  static IdResult findId(const std::string& path, Catalog& catalog) { return catalog.findId(path); }
  bool isSharedFolder(const std::string& path) const;
  // The row of path's parent directory.
  static IdResult findParentId(const std::string& path, Catalog& catalog);

  // Enters a directory row (one trailing "/" removed). A negative parentId is
  // looked up, and missing ancestors are entered first, from the top down,
  // starting below the nearest one that is catalogued, a shared folder or
  // the root. Returns the new ID; 0 for the root or a path too short to
  // enter; an error status when the row, or its parent's, could not be
  // found or written (logged). Never looks the path itself up: a caller that
  // may meet a catalogued directory asks findId first. "Insert dir: " is
  // written once the row is durable.
  IdResult insertDir(std::string path, int64_t parentId, Catalog& catalog);

  // The parent ID a row for path needs: parentId when known, else the row
  // of path's directory, found or entered.
  IdResult parentFor(const std::string& path, int64_t parentId, Catalog& catalog);

 private:
  const SharedFolders& folders;
};

#endif  // OMBRIX_SYNC_DIRECTORYROWS_H
