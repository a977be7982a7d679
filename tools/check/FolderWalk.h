// tools/check/FolderWalk.h: the paths the daemon's walk would catalogue.
//
// The walk's rules, repeated here without touching the catalogue: entries
// whose names begin with "." are skipped with everything below them; a
// directory (or a link to one) that can be opened is a container and is
// descended into, unless it is already on the current descent path (a link
// back to an ancestor); anything else must be a readable regular file (or a
// link to one) whose extension names an image, audio or video kind. Paths are
// formed as the walk forms them: the folder entry (ending in "/") followed by
// the names below it; nothing is resolved.
#ifndef OMBRIX_TOOLS_CHECK_FOLDERWALK_H
#define OMBRIX_TOOLS_CHECK_FOLDERWALK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace check {

// The catalogue TYPE of a directory row; files carry their ObjType (1-3).
constexpr int32_t kDirectoryType = 10;

// One path that should have a row, and the TYPE that row should carry.
struct DiskPath {
  std::string path;
  int32_t type;
};

// Lists every folder entry (each ending in "/") as the walk would: the
// folder's own path (one trailing "/" removed, as its row stores it) and
// everything below it. The result is sorted by path with each path once,
// however often nested or repeated folders reach it. progress, when set, is
// called with the number of paths listed so far every few thousand paths.
std::vector<DiskPath> listFolders(const std::vector<std::string>& folderEntries,
                                  const std::function<void(size_t)>& progress);

}  // namespace check

#endif  // OMBRIX_TOOLS_CHECK_FOLDERWALK_H
