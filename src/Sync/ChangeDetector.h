// Sync/ChangeDetector.h: notices changes in the shared folders by comparing
// listings.
//
// Each cycle lists every path below the folders with find into findNew.txt,
// compares it with the previous listing (findOld.txt) using the diff tool in
// the service home into findDiff.txt, and makes the new listing the previous
// one. Only names are compared: a file rewritten in place is no change. The
// listing is the only state kept between cycles, and it lives on disk; the
// change notices' watch set is derived from it (ChangeNotices).
#ifndef OMBRIX_SYNC_CHANGEDETECTOR_H
#define OMBRIX_SYNC_CHANGEDETECTOR_H

#include <string>

#include "Sync/ToolRunner.h"

class ChangeNotices;
class SharedFolders;
struct WorkFiles;

class ChangeDetector {
 public:
  ChangeDetector(const WorkFiles& files, const SharedFolders& folders, ChangeNotices& notices)
      : files(files), folders(folders), notices(notices) {}

  // Removes the previous run's findOld.txt and findDiff.txt.
  void clearSnapshots();

  // Lists the folders into findNew.txt, compares it with findOld.txt into
  // findDiff.txt when both exist, then makes findNew.txt the new findOld.txt,
  // and hands it to the notices when it changed or their watch set is stale.
  // True when the diff file written by this call is not empty. When a tool
  // fails or the disk does not take a file completely, nothing is used and
  // the previous listing is kept, so the next cycle sees the same changes:
  // false.
  bool isChanged();

 private:
  std::string listCommandText() const;
  ToolResult takeSnapshot();
  bool keepPreviousSnapshot(const std::string& failedPath, const ToolResult& result);

  const WorkFiles& files;
  const SharedFolders& folders;
  ChangeNotices& notices;
};

#endif  // OMBRIX_SYNC_CHANGEDETECTOR_H
