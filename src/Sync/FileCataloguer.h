// Sync/FileCataloguer.h: turns media files into their catalogue rows.
//
// A file goes through three steps, which a caller may keep apart so that
// many files are in flight at once: it is filled from its path (kind, size,
// times), waited for while it is still being written (the watch set), and
// analysed; then writeRows finds or enters its parent directory and writes
// the OBJECTS row and its FILEDETAIL row (same ID) together, so the media
// server never sees a file without its details. No transaction is open
// while a file is watched or analysed.
#ifndef OMBRIX_SYNC_FILECATALOGUER_H
#define OMBRIX_SYNC_FILECATALOGUER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Media/FileInfo.h"
#include "Sync/WatchSet.h"

class AnalysisChild;
class Database;
class DirectoryRows;

enum class FileOutcome {
  Written,           // the rows are written ("Insert file: " once they are durable)
  NotCatalogued,     // not an image, audio or video file: silently left out
  Gone,              // vanished during the watch, or the watch gave way to a shutdown
  FailedInDatabase,  // the database refused the rows (logged): worth a retry
};

struct FileResult {
  FileOutcome outcome;
  int64_t id = -1;  // the new row's ID when written
};

class FileCataloguer {
 public:
  using AnalysisTicket = uint64_t;

  explicit FileCataloguer(DirectoryRows& directories);
  ~FileCataloguer();
  FileCataloguer(const FileCataloguer&) = delete;
  FileCataloguer& operator=(const FileCataloguer&) = delete;

  // Fills info from path and tells whether the file is of a catalogued kind
  // (playlists and unknown extensions never are).
  bool fillIfCatalogued(const std::string& path, FileInfo& info);

  WatchSet& watchSet() { return watch; }

  // Analysis: submit returns at once; the answer is taken in any order once
  // it is there. takeAnalysis writes the records the analysis produced, or
  // the one that says it failed (the record then holds the defaults of an
  // unreadable file).
  AnalysisTicket submitAnalysis(const FileInfo& info);
  bool isAnalysed(AnalysisTicket ticket) const;
  bool hasAnalysisInFlight() const;
  // Waits at most timeoutMs for an answer to arrive.
  void pumpAnalysis(int64_t timeoutMs);
  FileInfo takeAnalysis(AnalysisTicket ticket);

  // Written or FailedInDatabase. A negative parentId is looked up, and a
  // missing parent directory is entered first.
  FileResult writeRows(const FileInfo& info, int64_t parentId, Database& db);

  // All the steps for one file, waiting for each: any outcome.
  FileResult insertFile(const std::string& path, int64_t parentId, Database& db);

 private:
  DirectoryRows& directories;
  WatchSet watch;
  // Started on the first analysis and kept: one fork per crash, not per file.
  std::unique_ptr<AnalysisChild> analysisChild;
  std::map<AnalysisTicket, FileInfo> answers;
  AnalysisTicket nextTicket = 1;
};

#endif  // OMBRIX_SYNC_FILECATALOGUER_H
