// Sync/FileCataloguer.h: turns one media file into its catalogue rows.
//
// A file is catalogued in two steps that the walk keeps apart: prepare
// (fill the record from the path, wait until the file is stable, analyse it)
// runs with no transaction open, since a watch takes seconds and an analysis
// may take many; writeRows then finds or enters the parent directory and
// writes the OBJECTS row and its FILEDETAIL row (same ID) together, so the
// media server never sees a file without its details.
//
// Analysis runs in helper processes (AnalysisPool). The walk hands files to
// them as it finds them and takes the answers in walk order; one file at a
// time (prepare) submits and takes at once. Taking an answer writes the log
// records its analysis produced, so they come out in the files' order.
#ifndef OMBRIX_SYNC_FILECATALOGUER_H
#define OMBRIX_SYNC_FILECATALOGUER_H

#include <cstdint>
#include <string>

#include "Media/AnalysisPool.h"
#include "Sync/SizeWatch.h"

class Database;
class DirectoryRows;
class FileInfo;

enum class FileOutcome {
  Ready,             // prepare: watched and analysed, rows not written yet
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
  // helperPath: the analysis helper (AnalysisPool::locateHelper in the
  // service). Test builds may set how many run at once, and what runs them
  // (TestSeams).
  FileCataloguer(DirectoryRows& directories, const std::string& helperPath);
  ~FileCataloguer();
  FileCataloguer(const FileCataloguer&) = delete;
  FileCataloguer& operator=(const FileCataloguer&) = delete;

  // Ready, NotCatalogued or Gone.
  FileOutcome prepare(const std::string& path, FileInfo& info);

  // The two halves of prepare, for a caller that must commit its writes
  // between them: fills info from path and tells whether the file is of a
  // catalogued kind; then waits until it is stable and analyses it (Ready or
  // Gone).
  bool fillIfCatalogued(const std::string& path, FileInfo& info);
  FileOutcome watchAndAnalyze(FileInfo& info);

  // The walk's way: wait until the file is stable (Ready or Gone), submit
  // it to analysis, and later take the answer into info, writing the
  // records of its analysis (and "analysis failed: " when it failed).
  FileOutcome waitUntilStable(FileInfo& info);
  AnalysisPool& analysis() { return pool; }
  void takeAnalysis(AnalysisPool::Ticket ticket, FileInfo& info);

  // Once a walk or an adjustment is over: ends the helpers and forgets any
  // answer not taken, so an idle daemon keeps no helper.
  void endAnalysis() { pool.abandonAll(); }

  // Written or FailedInDatabase. A negative parentId is looked up, and a
  // missing parent directory is entered first.
  FileResult writeRows(const FileInfo& info, int64_t parentId, Database& db);

  // prepare, then writeRows: any outcome but Ready.
  FileResult insertFile(const std::string& path, int64_t parentId, Database& db);

#ifdef OMBRIX_TEST_SEAMS
  SizeWatch& sizeWatch() {
    return watch;
  }
#endif

 private:
  DirectoryRows& directories;
  SizeWatch watch;
  AnalysisPool pool;
};

#endif  // OMBRIX_SYNC_FILECATALOGUER_H
