// Sync/FileCataloguer.h: turns media files into their catalogue rows.
//
// A file goes through three steps, which a caller may keep apart so that
// many files are in flight at once: it is filled from its path (kind, size,
// times), waited for while it is still being written (the watch set), and
// analysed by the analysis helpers (AnalysisPool: separate, sandboxed
// processes, two at a time); then writeRows finds or enters its parent
// directory and writes the OBJECTS row and its FILEDETAIL row (same ID)
// together, so the media server never sees a file without its details.
#ifndef OMBRIX_SYNC_FILECATALOGUER_H
#define OMBRIX_SYNC_FILECATALOGUER_H

#include <cstdint>
#include <string>

#include "Database/Catalog.h"
#include "Media/AnalysisPool.h"
#include "Media/FileInfo.h"
#include "Sync/WatchSet.h"

class DirectoryRows;

class FileCataloguer {
 public:
  using AnalysisTicket = AnalysisPool::Ticket;

  // helperPath: the analysis helper (AnalysisPool::locateHelper in the
  // service). Test builds may set how many run at once, and what runs them
  // (TestSeams).
  FileCataloguer(DirectoryRows& directories, const std::string& helperPath);
  ~FileCataloguer();
  FileCataloguer(const FileCataloguer&) = delete;
  FileCataloguer& operator=(const FileCataloguer&) = delete;

  // Fills info from path and its status (links followed) and tells whether
  // the file is of a catalogued kind (playlists and unknown extensions never
  // are).
  bool fillIfCatalogued(const std::string& path, const struct stat& status, FileInfo& info);

  WatchSet& watchSet() { return watch; }

  // Analysis: submit returns at once; the answer is taken in any order once
  // it is there. takeAnalysis writes the records the analysis produced, or
  // the one that says it failed (the record then holds the defaults of an
  // unreadable file). The helpers read files only below shared folders.
  void shareFolder(const std::string& folder) { pool.addReadableFolder(folder); }
  AnalysisTicket submitAnalysis(const FileInfo& info) { return pool.submit(info); }
  bool isAnalysed(AnalysisTicket ticket) const { return pool.isDone(ticket); }
  bool hasAnalysisInFlight() const { return pool.isBusy(); }
  // Waits at most timeoutMs for an answer to arrive.
  void pumpAnalysis(int64_t timeoutMs) { pool.pump(static_cast<int>(timeoutMs)); }
  FileInfo takeAnalysis(AnalysisTicket ticket);

  // Once a walk or an adjustment is over: ends the helpers, so an idle
  // daemon keeps none.
  void endAnalysis() { pool.abandonAll(); }

#ifdef OMBRIX_TEST_SEAMS
  const AnalysisPool& analysis() const {
    return pool;
  }
#endif

  // Returns the new row's ID, or an error status when the catalogue refused
  // the rows or the parent could not be found or entered (logged; worth a
  // retry). A negative parentId is looked up, and a missing parent
  // directory is entered first. "Insert file: " is written once the rows
  // are durable.
  IdResult writeRows(const FileInfo& info, int64_t parentId, Catalog& catalog);

 private:
  DirectoryRows& directories;
  WatchSet watch;
  AnalysisPool pool;
  bool isSandboxNoted = false;
};

#endif  // OMBRIX_SYNC_FILECATALOGUER_H
