// tools/check/CatalogCheck.cpp: the comparison, and what the daemon's own
// files say about differences it has not applied yet.
//
// Layout: comparing the sorted listing with the rows sorted by path (one
// pass, no query per path), then the daemon's snapshot and log, then
// runCheck and the output lines.
#include "check/CatalogCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <tuple>
#include <unordered_set>

#include "Common/Util.h"
#include "check/CatalogReader.h"
#include "check/FolderWalk.h"

namespace check {
namespace {

// Indexed by FindingKind: the label of its lines and of its count.
constexpr const char* kKindNames[] = {"missing",   "stale", "parent",  "detail",
                                      "duplicate", "map",   "database"};
constexpr size_t kKindCount = sizeof kKindNames / sizeof kKindNames[0];

bool byPath(const CatalogRow& a, const CatalogRow& b) {
  return std::tie(a.path, a.id) < std::tie(b.path, b.id);
}

// The comparison of one listing with one set of rows. Rows are sorted by
// path, so the rows of a path and those of its directory are found by
// binary search.
class Comparison {
 public:
  Comparison(const std::vector<DiskPath>& disk, const std::vector<CatalogRow>& rows,
             const std::vector<std::string>& folderEntries)
      : disk(disk), rows(rows) {
    for (const std::string& entry : folderEntries) roots.push_back(Util::removeLastSlash(entry));
  }

  // Walks the listing and the rows side by side, both sorted by path.
  // strayRowPaths gets the paths of the rows that the listing lacks.
  void run(std::vector<Finding>& out, std::vector<std::string>& strayRowPaths) {
    size_t i = 0, j = 0;
    while (i < disk.size() || j < rows.size()) {
      size_t end = j;
      while (end < rows.size() && rows[end].path == rows[j].path) ++end;
      bool isOnDisk = i < disk.size() && (j == rows.size() || disk[i].path <= rows[j].path);
      bool hasRows = j < rows.size() && (i == disk.size() || rows[j].path <= disk[i].path);
      if (!hasRows) {
        out.push_back(Finding{FindingKind::Missing, disk[i++].path});
        continue;
      }
      if (end - j > 1) out.push_back(Finding{FindingKind::Duplicate, rows[j].path});
      if (!isOnDisk) {
        out.push_back(Finding{FindingKind::Stale, rows[j].path});
        strayRowPaths.push_back(rows[j].path);
      } else {
        checkRowsOfPath(j, end, disk[i++].type, out);
      }
      j = end;
    }
  }

 private:
  // The rows [begin, end) of a path that is on disk. A row of another TYPE
  // (a file where a directory now stands, a row entered by hand) is stale;
  // the walk would mark it found and leave it wrong.
  void checkRowsOfPath(size_t begin, size_t end, int32_t type, std::vector<Finding>& out) {
    bool hasRightType = false;
    for (size_t k = begin; k < end; ++k) {
      if (rows[k].type != type) continue;
      hasRightType = true;
      if (!hasRightParent(rows[k])) out.push_back(Finding{FindingKind::Parent, rows[k].path});
    }
    if (!hasRightType) out.push_back(Finding{FindingKind::Stale, rows[begin].path});
  }

  // A shared folder's row hangs under the root (0). One nested in another
  // shared folder may also hang under its directory's row: the adjustment
  // enters it there when it comes back after being removed.
  bool hasRightParent(const CatalogRow& row) const {
    bool isRoot = std::find(roots.begin(), roots.end(), row.path) != roots.end();
    if (isRoot && row.parentId == 0) return true;
    CatalogRow probe{0, 0, 0, Util::getParentPath(row.path)};
    auto [first, last] =
        std::equal_range(rows.begin(), rows.end(), probe,
                         [](const CatalogRow& a, const CatalogRow& b) { return a.path < b.path; });
    return std::any_of(first, last, [&](const CatalogRow& parent) {
      return parent.id == row.parentId && parent.path != row.path;
    });
  }

  const std::vector<DiskPath>& disk;
  const std::vector<CatalogRow>& rows;
  std::vector<std::string> roots;
};

// ---- What the daemon has not got to yet ----

// The paths of the daemon's last listing (find prints a folder's own line
// with its trailing "/"; rows store it without). Empty when there is none.
std::unordered_set<std::string> readLastListing(const std::string& homeDir) {
  std::unordered_set<std::string> paths;
  std::ifstream listing(homeDir + "/nstemp/findOld.txt");
  std::string line;
  while (std::getline(listing, line)) paths.insert(Util::removeLastSlash(line));
  return paths;
}

// Counts the missing paths the last listing lacks (added since) and the
// stale ones it still holds although they are gone (removed since): the
// next cycle applies both.
size_t countUnlistedChanges(const std::string& homeDir, const std::vector<Finding>& findings,
                            const std::vector<std::string>& strayRowPaths) {
  std::unordered_set<std::string> listed = readLastListing(homeDir);
  if (listed.empty()) return 0;  // no daemon has listed the folders here
  size_t count = 0;
  for (const Finding& finding : findings) {
    if (finding.kind == FindingKind::Missing && listed.count(finding.text) == 0) ++count;
  }
  for (const std::string& path : strayRowPaths) {
    struct stat status;
    if (listed.count(path) != 0 && stat(path.c_str(), &status) != 0) ++count;
  }
  return count;
}

// Message lines of the log records that open and close a cycle's work (the
// record texts of OmbrixMain and Ombrix, after the two-space indent). A
// daemon logging below level 4 writes none of them.
struct CycleMark {
  const char* text;
  const char* phase;  // what the daemon is doing from here on; "" when done
};
constexpr CycleMark kCycleMarks[] = {
    {"  No Db File, build db.", "building the catalogue"},
    {"  Build DB Time = ", ""},
    {"  It existes db file already.", "checking the catalogue against the folders"},
    {"  Check DB Time = ", ""},
    {"  isChanged = true", "applying the changes of its last listing"},
    {"  Adjust DB Time = ", ""},
};

// The phase the last mark in the log opened, "" when it was closed again. A
// daemon killed in the middle of a cycle leaves it open until its next
// start removes the log.
std::string readCycleInProgress(const std::string& homeDir) {
  std::ifstream log(homeDir + "/nstemp/Ombrix.log");
  std::string line, phase;
  while (std::getline(log, line)) {
    if (line.size() < 3 || line[0] != ' ' || line[1] != ' ') continue;
    for (const CycleMark& mark : kCycleMarks) {
      if (line.rfind(mark.text, 0) == 0) phase = mark.phase;
    }
  }
  return phase;
}

// Reads the catalogue in separate queries, each a consistent view of the
// file on its own.
bool readCatalogue(CatalogReader& reader, std::vector<CatalogRow>& rows,
                   std::vector<Finding>& findings, std::string& errMsg) {
  std::vector<std::string> problems, detailPaths;
  std::vector<MapMismatch> mapMismatches;
  if (!reader.readQuickCheck(problems, errMsg) || !reader.readObjects(rows, errMsg) ||
      !reader.readDetailMismatches(detailPaths, errMsg) ||
      !reader.readMapMismatches(mapMismatches, errMsg)) {
    return false;
  }
  // SQLite's report keeps its own order; the others are sorted like paths.
  for (std::string& text : problems) findings.push_back(Finding{FindingKind::Database, text});
  std::sort(detailPaths.begin(), detailPaths.end());
  for (std::string& path : detailPaths) findings.push_back(Finding{FindingKind::Detail, path});
  std::vector<std::string> mapTexts;
  for (MapMismatch& map : mapMismatches) mapTexts.push_back(map.table + " " + map.value);
  std::sort(mapTexts.begin(), mapTexts.end());
  for (std::string& text : mapTexts) findings.push_back(Finding{FindingKind::Map, text});
  return true;
}

}  // namespace

bool runCheck(const CheckRequest& request, CheckResult& result, std::string& errMsg) {
  std::string dbPath = request.homeDir + "/nstemp/daskor.db";
  CatalogReader reader;
  if (!reader.open(dbPath, errMsg)) {
    errMsg = "no catalogue at " + dbPath + ": " + errMsg;
    return false;
  }
  std::vector<CatalogRow> rows;
  if (!readCatalogue(reader, rows, result.findings, errMsg)) {
    errMsg = "cannot read the catalogue " + dbPath + ": " + errMsg;
    return false;
  }
  // The catalogue first: a file that is no catalogue is refused at once,
  // not after minutes of listing.
  std::vector<DiskPath> disk = listFolders(request.folderEntries, request.progress);
  std::sort(rows.begin(), rows.end(), byPath);
  result.diskPaths = disk.size();
  result.rows = rows.size();

  std::vector<std::string> strayRowPaths;
  Comparison(disk, rows, request.folderEntries).run(result.findings, strayRowPaths);
  std::stable_sort(result.findings.begin(), result.findings.end(),
                   [](const Finding& a, const Finding& b) { return a.kind < b.kind; });
  if (!result.findings.empty()) {
    result.unlistedChanges = countUnlistedChanges(request.homeDir, result.findings, strayRowPaths);
    result.cycleInProgress = readCycleInProgress(request.homeDir);
  }
  return true;
}

std::string findingLine(const Finding& finding) {
  return std::string(kKindNames[static_cast<size_t>(finding.kind)]) + ": " + finding.text;
}

std::string summaryLine(const CheckResult& result) {
  size_t counts[kKindCount] = {};
  for (const Finding& finding : result.findings) ++counts[static_cast<size_t>(finding.kind)];
  std::string line = "summary: " + std::to_string(result.diskPaths) + " paths on disk, " +
                     std::to_string(result.rows) + " rows";
  for (size_t kind = 0; kind < kKindCount; ++kind) {
    line += (kind == 0 ? "; " : ", ") + std::to_string(counts[kind]) + " " + kKindNames[kind];
  }
  if (result.unlistedChanges > 0) {
    line += "; " + std::to_string(result.unlistedChanges) +
            " of them changed after the daemon last listed the folders (it lists them every 15 s)";
  }
  if (!result.cycleInProgress.empty()) {
    line += "; the daemon's log shows it " + result.cycleInProgress +
            ", so the catalogue may still be catching up";
  }
  return line;
}

}  // namespace check
