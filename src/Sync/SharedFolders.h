// Sync/SharedFolders.h: the folders the catalogue follows.
//
// Each entry ends in "/", and every path the synchroniser meets starts with
// one of them: the listing tool prints each path as "folder entry + rest",
// and the walk forms paths the same way. The root path of a folder is its
// entry without the slash; it is the PATH of the folder's own row, which
// hangs under the catalogue root (ID 0).
#ifndef OMBRIX_SYNC_SHAREDFOLDERS_H
#define OMBRIX_SYNC_SHAREDFOLDERS_H

#include <string>
#include <vector>

class SharedFolders {
 public:
  // Appends the folder with a trailing "/". No test of existence, duplicates
  // or nesting: the entry point has checked it, and a folder given twice is
  // simply followed twice.
  void add(std::string path);

  const std::vector<std::string>& entries() const { return folders; }

  // True when path is one of the folders' root paths.
  bool isRootPath(const std::string& path) const;

  // True when path lies below (or is) one of the folder entries.
  bool contains(const std::string& path) const;

  // True when a component of path below its shared folder begins with ".":
  // the walk never enters such a name, so nothing under it is catalogued.
  // A path below no folder is not hidden by this rule.
  bool isHiddenBelowFolder(const std::string& path) const;

 private:
  std::vector<std::string> folders;
};

#endif  // OMBRIX_SYNC_SHAREDFOLDERS_H
