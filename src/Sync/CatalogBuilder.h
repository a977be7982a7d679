// Sync/CatalogBuilder.h: the library synchroniser, which keeps the catalogue
// in step with the shared folders.
//
// One builder lives as long as the process. It knows the service home, the
// shared folders and the work files, and wires the parts that do the jobs:
// the first build and the full check (Walk), the change detection
// (ChangeDetector, with the kernel's ChangeNotices that end the service
// loop's sleep early) and the incremental adjustment (Adjustment), peers that
// share the file cataloguing and the directory rows. What a job leaves
// undone is not kept here: it goes into the PendingChanges the service loop
// owns and hands to each job. The builder holds no open file and no
// connection between calls: each job makes one Catalog and passes it down.
//
// Thread-safety: one thread only. The long loops poll the AppStatus exit
// flag, which a signal handler may set at any moment.
#ifndef OMBRIX_SYNC_CATALOGBUILDER_H
#define OMBRIX_SYNC_CATALOGBUILDER_H

#include <string>

#include "Sync/Adjustment.h"
#include "Sync/ChangeDetector.h"
#include "Sync/ChangeNotices.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"
#include "Sync/PendingChanges.h"
#include "Sync/SharedFolders.h"
#include "Sync/Walk.h"
#include "Sync/WorkFiles.h"

class CatalogBuilder {
 public:
  // Derives the catalogue and snapshot paths from homeDir; touches no file.
  // helperPath is the analysis helper (AnalysisPool::locateHelper in the
  // service), started only when a file is to be analysed.
  CatalogBuilder(const std::string& homeDir, const std::string& helperPath);
  CatalogBuilder(const CatalogBuilder&) = delete;
  CatalogBuilder& operator=(const CatalogBuilder&) = delete;

  void addSharedPath(std::string path) {
    folders.add(std::move(path));
    cataloguer.shareFolder(folders.entries().back());
  }

  // True when the catalogue is a regular, readable file with something in it.
  bool dbExists() const;

  void clearSnapshots() { changes.clearSnapshots(); }
  bool isChanged() { return changes.isChanged(); }

  // The service loop's sleep: seconds, less after change notices (see
  // ChangeNotices::wait).
  ChangeNotices::Wake waitForChanges(unsigned seconds, const std::string& sleepPath,
                                     const PendingChanges& pending) {
    return notices.wait(seconds, sleepPath, pending);
  }

  // Creates the catalogue from nothing and walks every shared folder.
  WalkOutcome buildDatabase(PendingChanges& pending);

  // Marks every row unseen, walks the folders marking what is still there and
  // entering what is new, then deletes the unseen rows, but only after a
  // complete walk: rows a stopped or incomplete walk did not reach are kept.
  WalkOutcome checkDatabase(PendingChanges& pending);

  void adjustDatabase(PendingChanges& pending) { adjustment.adjustDatabase(pending); }
  bool retryPendingChanges(PendingChanges& pending) {
    return adjustment.retryPendingChanges(pending);
  }

  const WorkFiles& workFiles() const { return files; }
  FileCataloguer& fileCataloguer() { return cataloguer; }

 private:
  void addPathIndex(Catalog& catalog);
  // Walks every folder; roots holds each folder's own row, in order.
  WalkOutcome walkFolders(WalkMode mode, Catalog& catalog, const std::vector<IdResult>& roots,
                          PendingChanges& pending);

  WorkFiles files;
  SharedFolders folders;
  DirectoryRows directories;
  FileCataloguer cataloguer;
  ChangeNotices notices;
  ChangeDetector changes;
  Adjustment adjustment;
};

#endif  // OMBRIX_SYNC_CATALOGBUILDER_H
