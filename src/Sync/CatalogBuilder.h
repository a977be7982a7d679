// Sync/CatalogBuilder.h: the library synchroniser, which keeps the catalogue
// in step with the shared folders.
//
// One builder lives as long as the process. It knows the service home, the
// shared folders and the work files, and carries the first build (walk
// every folder), the full check (mark, walk, sweep), the change detection
// (listings compared) and the incremental adjustment (apply each change).
// The jobs live in parts of their own (Walk, FileCataloguer, DirectoryRows,
// ChangeDetector, Adjustment); this object wires them together. It holds no
// open file and no connection between calls: each of buildDatabase,
// checkDatabase and adjustDatabase makes one Database and passes it down.
//
// Thread-safety: one thread only. The long loops poll the AppStatus exit
// flag, which a signal handler may set at any moment.
#ifndef OMBRIX_SYNC_CATALOGBUILDER_H
#define OMBRIX_SYNC_CATALOGBUILDER_H

#include <string>

#include "Sync/Adjustment.h"
#include "Sync/ChangeDetector.h"
#include "Sync/DirectoryRows.h"
#include "Sync/FileCataloguer.h"
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

  // Creates the catalogue from nothing and walks every shared folder.
  void buildDatabase();

  // Marks every row unseen, walks the folders marking what is still there and
  // entering what is new, then deletes the unseen rows, unless the exit flag
  // stopped the walk (an incomplete walk must not delete anything).
  void checkDatabase();

  void adjustDatabase() { adjustment.adjustDatabase(); }
  bool retryPendingChanges() { return adjustment.retryPendingChanges(); }

  const WorkFiles& workFiles() const { return files; }
  FileCataloguer& fileCataloguer() { return cataloguer; }
  Adjustment& changeAdjustment() { return adjustment; }

 private:
  void addPathIndex(Database& db);
  void walkFolders(WalkMode mode, Database& db);

  WorkFiles files;
  SharedFolders folders;
  DirectoryRows directories;
  FileCataloguer cataloguer;
  ChangeDetector changes;
  Adjustment adjustment;
};

#endif  // OMBRIX_SYNC_CATALOGBUILDER_H
