// tools/check/CatalogCheck.h: is the catalogue true to the folders?
//
// Compares what the walk would catalogue (FolderWalk) with what the
// catalogue holds (CatalogReader) and names each difference as one finding.
// When there are differences it also asks whether the daemon simply has not
// got to them yet: its last listing (findOld.txt) tells which changes it has
// not seen, and its log whether a build, check or adjustment is under way.
#ifndef OMBRIX_TOOLS_CHECK_CATALOGCHECK_H
#define OMBRIX_TOOLS_CHECK_CATALOGCHECK_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace check {

// In the order the findings are printed.
enum class FindingKind { Missing, Stale, Parent, Detail, Duplicate, Map, Database };

struct Finding {
  FindingKind kind;
  std::string text;  // a path, "TABLE VALUE" for a map, SQLite's words for the database
};

struct CheckResult {
  size_t diskPaths = 0;  // paths the walk would catalogue
  size_t rows = 0;       // OBJECTS rows
  std::vector<Finding> findings;
  // Missing or stale paths that the daemon's last listing does not know of
  // yet: its next cycle will apply them.
  size_t unlistedChanges = 0;
  // What the log shows the daemon in the middle of ("building the
  // catalogue", ...), or "" when it is between cycles.
  std::string cycleInProgress;
};

struct CheckRequest {
  std::string homeDir;                     // DLNAHOME, trailing "/" removed
  std::vector<std::string> folderEntries;  // absolute, each ending in "/"
  std::function<void(size_t)> progress;    // paths listed so far; may be empty
};

// Runs the whole check. Returns false with the reason in errMsg when the
// catalogue cannot be opened or read: the check could not be done.
bool runCheck(const CheckRequest& request, CheckResult& result, std::string& errMsg);

// "missing: /music/a.mp3", "map: ALBUMMAP Blue", ...
std::string findingLine(const Finding& finding);

// The paths and rows counted, each kind's number of findings, and, when
// there are findings, why some of them may be the daemon still at work.
std::string summaryLine(const CheckResult& result);

}  // namespace check

#endif  // OMBRIX_TOOLS_CHECK_CATALOGCHECK_H
