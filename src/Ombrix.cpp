// Ombrix.cpp: the CatalogBuilder: first build and walk, file cataloguing with
// the size watch, full check, change detection and incremental adjustment.
//
// Layout: small helpers (running tools, timing text), then the object and
// its working files, the walk and the directory rows, file cataloguing, the
// full check, change detection, the adjustment. Each log record's constants
// sit just above the function that writes it; the line numbers are part of
// the log contract, not places in this file. Source name "Ombrix".
//
// The tools (find, the diff tool in the service home, mv, rm) run without a
// shell: a path holding a space, ";" or "$(...)" would otherwise be split or
// executed. The "exec:" records still carry the shell command texts that log
// readers know, so for ordinary paths the log and the files are unchanged.
#include "Ombrix.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Media/AnalysisChild.h"
#include "Media/FileInfo.h"

extern char** environ;

namespace {

constexpr const char* kLogSource = "Ombrix";

void writeLog(const LogSite& site, const std::string& item = "", const char* tail = "") {
  Logger::getInstance().writeLog(site, kLogSource, item, tail);
}

bool exitRequested() {
  return AppStatus::getInstance().getAppExit();
}

// The file actions of one spawn: initialised and destroyed as a pair.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  // Standard output goes to fd, which the tool gets as its descriptor 1.
  void redirectOutput(int fd) { posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO); }
  const posix_spawn_file_actions_t* get() const { return &actions; }

 private:
  posix_spawn_file_actions_t actions;
};

// Copies everything the tool writes into the pipe `from` to the file `to`.
// After a failed write the rest is still read, so that the tool never waits
// on a full pipe. Returns false with the reason in errMsg when the file did
// not take everything.
bool copyOutput(int from, int to, std::string& errMsg) {
  char buffer[64 * 1024];
  bool isComplete = true;
  for (;;) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (isComplete && !Util::writeAll(to, buffer, static_cast<size_t>(n))) {
      errMsg = std::strerror(errno);
      isComplete = false;
    }
  }
  return isComplete;
}

constexpr LogSite kToolFailed{2, 266, "exec fail: "};

// Runs argv[0] (looked up in PATH like the shell would) and waits for it.
// Its exit status is of no interest: diff exits 1 on differences, rm 1 on a
// missing file, find 1 when a file vanished during the walk. When the tool
// cannot be started, says why on standard error, as the shell would, and
// logs the command text.
//
// With an outputPath, the tool's standard output reaches that file (created
// or emptied, as "> path" would) through this process rather than straight
// from the tool: a tool that meets a full disk only complains on its own
// standard error, and a snapshot cut short would read as paths deleted.
// Returns false with the reason in errMsg when the file could not be
// written completely; true otherwise, also when the tool could not start
// (the file is then empty, as the shell would leave it).
bool runTool(const LogSite& execSite, const std::string& commandText,
             const std::vector<std::string>& argv, const std::string& outputPath,
             std::string& errMsg) {
  writeLog(execSite, commandText, "\n");
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  SpawnActions actions;
  FdHandle output, fromTool, toFile;
  if (!outputPath.empty()) {
    output.reset(open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    int ends[2];
    if (!output.isOpen() || pipe2(ends, O_CLOEXEC) != 0) {
      errMsg = std::strerror(errno);
      return false;
    }
    fromTool.reset(ends[0]);
    toFile.reset(ends[1]);
    actions.redirectOutput(toFile.get());
  }

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  toFile.reset();  // the tool holds the only write end now: end of file when it exits
  if (rc != 0) {
    fprintf(stderr, "Ombrix: %s: %s\n", args[0], std::strerror(rc));
    writeLog(kToolFailed, commandText + ": " + std::strerror(rc), "\n");
    return true;
  }
  bool isComplete = !fromTool.isOpen() || copyOutput(fromTool.get(), output.get(), errMsg);
  // SA_RESTART covers the exit signal; any other interruption is retried too.
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (output.isOpen() && close(output.release()) != 0 && isComplete) {
    errMsg = std::strerror(errno);  // some file systems report a full disk only here
    isComplete = false;
  }
  return isComplete;
}

// Runs a tool whose only output is its effect (rm, mv).
void runTool(const LogSite& execSite, const std::string& commandText,
             const std::vector<std::string>& argv) {
  std::string errMsg;
  (void)runTool(execSite, commandText, argv, "", errMsg);  // always true without an output file
}

// True for a directory already on the current descent path: entering it
// again would repeat the walk until the path grew too long to open.
template <typename Key>
bool isOnDescentPath(const std::vector<Key>& ancestors, const Key& key) {
  return std::find(ancestors.begin(), ancestors.end(), key) != ancestors.end();
}

bool isCatalogued(ObjType type) {
  return type == ObjType::Image || type == ObjType::Audio || type == ObjType::Video;
}

}  // namespace

std::string timingText(time_t start, time_t end) {
  std::ostringstream text;
  text << difftime(end, start);
  return text.str();
}

WatchClock WatchClock::system() {
  return WatchClock{[] { return time(nullptr); }, [] { sleep(1); }};
}

// ---- The object and its working files ----

CatalogBuilder::CatalogBuilder(const std::string& home)
    : homeDir(Util::removeLastSlash(home)),
      dbPath(homeDir + "/nstemp/daskor.db"),
      findOldPath(homeDir + "/nstemp/findOld.txt"),
      findNewPath(homeDir + "/nstemp/findNew.txt"),
      findDiffPath(homeDir + "/nstemp/findDiff.txt"),
      watchClock(WatchClock::system()) {}

CatalogBuilder::~CatalogBuilder() = default;

void CatalogBuilder::addSharedPath(std::string path) {
  sharedPaths.push_back(Util::addLastSlash(std::move(path)));
}

// A catalogue file of zero bytes holds no catalogue: a first build killed
// before its schema was committed leaves one behind, and checking it would
// fail at every later start, so the catalogue would stay empty for good.
// Building over it loses nothing.
bool CatalogBuilder::dbExists() const {
  struct stat status;
  return Util::isFileExist(dbPath) && stat(dbPath.c_str(), &status) == 0 && status.st_size > 0;
}

// ---- First build and directory walk ----

constexpr LogSite kCreateFailed{1, 63, "Create datebase fial. Message is: "};
constexpr LogSite kPrimeFailed{1, 68, "Initial datebase fial. Message is: "};
constexpr LogSite kBuildFolder{4, 81, "Build shared folder: "};

// Every shared folder gets its row under the root before any walk starts, so
// a folder nested in another is found as a folder, not entered as a plain
// subdirectory first.
void CatalogBuilder::buildDatabase() {
  Database db(dbPath);
  startMapTracking();
  std::string errMsg;
  if (db.execute(CatalogSql::createSchema(), errMsg) < 0) {
    writeLog(kCreateFailed, errMsg, "\n");
    return;
  }
  addPathIndex(db);
  if (db.execute(CatalogSql::primeSequences(), errMsg) < 0) {
    writeLog(kPrimeFailed, errMsg, "\n");
    return;
  }
  for (const std::string& shared : sharedPaths) insertDir(shared, 0, db);
  for (const std::string& shared : sharedPaths) {
    std::string rootPath = Util::removeLastSlash(shared);
    writeLog(kBuildFolder, rootPath, "\n");
    int64_t id = findId(rootPath, db);
    if (id >= 0) traverseDir(shared, id, db, false);
  }
}

constexpr LogSite kPathIndexFailed{2, 70, "create path index fail: "};

// Without the index every look-up scans the table: slower, still right.
void CatalogBuilder::addPathIndex(Database& db) {
  std::string errMsg;
  if (db.execute(CatalogSql::createPathIndex(), errMsg) < 0) {
    writeLog(kPathIndexFailed, errMsg, "\n");
  }
}

void CatalogBuilder::traverseDir(const std::string& dirPath, int64_t parentId, Database& db,
                                 bool checkMode) {
  std::vector<DirKey> ancestors;
  walkDir(dirPath, parentId, db, checkMode, ancestors);
  commitGroup(db);
}

constexpr LogSite kOpenDirFailed{2, 277, "fail to open dir :"};
constexpr LogSite kWalkStopped{4, 287, "isAppExit is true, exit traverse Dir\n"};
constexpr LogSite kNotDirNorFile{6, 325, "not dir nor file ="};
constexpr LogSite kWalkFillMapsFailed{2, 331, "fial insert map"};
constexpr LogSite kGroupFailed{2, 333, "write group fail: "};

// A write group is committed once it is this old: the media server sees new
// rows soon, and a commit is never more than a quarter second away.
constexpr std::chrono::milliseconds kGroupMaxAge{200};

// How many entries of a directory are looked at (and their files analysed)
// before their rows are written: enough to write many rows per commit, few
// enough that a huge flat folder does not pile up records in memory.
constexpr size_t kEntriesPerGroup = 128;

// One entry of a directory between being looked at and being written.
struct CatalogBuilder::WalkEntry {
  enum class Kind { Directory, File };
  std::string path;
  Kind kind;
  int64_t existingId = -1;  // check mode: the row that is already there
  bool isAnalysed = false;  // a new file, watched and analysed, to be written
  FileInfo info;
};

// Entries come in directory-stream order; hidden names (and "." and "..")
// are skipped with everything below them. The entries are taken in groups:
// first each new file of the group is watched and analysed, with no
// transaction open, then the group's rows are written in walk order inside
// one write group, so IDs come out exactly as if each row had been written on
// its own. The maps are refilled after each directory so that albums appear
// while a long first build is still running.
void CatalogBuilder::walkDir(const std::string& dirPath, int64_t parentId, Database& db,
                             bool checkMode, std::vector<DirKey>& ancestors) {
  DirHandle dir(opendir(dirPath.c_str()));
  if (dir == nullptr) {
    writeLog(kOpenDirFailed, dirPath, "\n");
    return;
  }
  struct stat status;
  bool isTracked = fstat(dirfd(dir.get()), &status) == 0;
  if (isTracked) ancestors.emplace_back(status.st_dev, status.st_ino);

  bool isStopped = false;
  std::vector<WalkEntry> entries;
  while (!isStopped) {
    entries.clear();
    while (entries.size() < kEntriesPerGroup) {
      const dirent* entry = readdir(dir.get());
      if (entry == nullptr) break;
      if (exitRequested()) {
        writeLog(kWalkStopped);
        isStopped = true;
        break;
      }
      if (entry->d_name[0] == '.') continue;
      lookAtEntry(dirPath + entry->d_name, db, checkMode, entries);
    }
    if (entries.empty() && !isStopped) break;
    isStopped = !writeEntries(entries, parentId, db, checkMode, ancestors) || isStopped;
  }

  openGroup(db);  // usually still open with the last rows of this directory
  fillMapsSinceLastFill(db);
  commitGroupIfDue(db);
  if (isTracked) ancestors.pop_back();
}

// Classifies one entry; a new file of a catalogued kind is watched and
// analysed here, before any row of the group is written.
void CatalogBuilder::lookAtEntry(const std::string& entryPath, Database& db, bool checkMode,
                                 std::vector<WalkEntry>& entries) {
  commitGroupIfDue(db);
  if (Util::isDirExist(entryPath)) {
    entries.push_back(WalkEntry{entryPath, WalkEntry::Kind::Directory, -1, false, FileInfo()});
    return;
  }
  if (!Util::isFileExist(entryPath)) {
    writeLog(kNotDirNorFile, entryPath, "\n");
    return;
  }
  WalkEntry file{entryPath, WalkEntry::Kind::File, -1, false, FileInfo()};
  if (checkMode) file.existingId = findId(entryPath, db);
  if (file.existingId < 0) {
    file.info.fill(entryPath);
    if (!isCatalogued(file.info.objType)) return;
    commitGroup(db);  // never hold a write group across a watch or an analysis
    if (!waitForStableFile(file.info)) return;
    analyze(file.info);
    file.isAnalysed = true;
  }
  entries.push_back(std::move(file));
}

// Writes the rows of entries in walk order and descends into directories,
// leaving the last group open for the next rows of this directory. Returns
// false when the exit flag stopped the walk below, so this level must stop
// too.
bool CatalogBuilder::writeEntries(std::vector<WalkEntry>& entries, int64_t parentId, Database& db,
                                  bool checkMode, std::vector<DirKey>& ancestors) {
  openGroup(db);
  std::string marks;  // FOUND marks of files met again, sent together
  for (WalkEntry& entry : entries) {
    commitGroupIfDue(db);
    if (entry.existingId >= 0) {
      marks += CatalogSql::setFound(entry.existingId);
      continue;
    }
    markFound(marks, db);
    if (entry.kind == WalkEntry::Kind::Directory) {
      visitDirEntry(entry.path, parentId, db, checkMode, ancestors);
      if (exitRequested()) {
        writeLog(kWalkStopped);
        return false;
      }
      openGroup(db);
    } else if (entry.isAnalysed) {
      writeNewFile(entry.info, parentId, db);
    }
  }
  markFound(marks, db);
  return true;
}

// The marks only ever set FOUND, so their order among the other rows' writes
// does not matter; one statement text for many of them saves a parse each.
void CatalogBuilder::markFound(std::string& marks, Database& db) {
  if (marks.empty()) return;
  std::string errMsg;
  db.execute(marks, errMsg);  // a missed mark only costs a re-entry
  marks.clear();
}

// The first fill of a walk offers every detail row (the maps may lag from an
// earlier run); later fills only the rows written since the last good fill.
// Detail IDs only grow and nothing is pruned during a walk, so the maps end
// up exactly as with a full fill after every directory.
void CatalogBuilder::fillMapsSinceLastFill(Database& db) {
  if (mapsFilledBelow > lastDetailId) return;  // nothing new since the last fill
  std::string errMsg;
  std::string sql =
      mapsFilledBelow == 0 ? CatalogSql::fillMaps() : CatalogSql::fillMapsFrom(mapsFilledBelow);
  if (db.execute(sql, errMsg) < 0) {
    writeLog(kWalkFillMapsFailed, errMsg, "\n");
    return;
  }
  mapsFilledBelow = lastDetailId + 1;
}

void CatalogBuilder::openGroup(Database& db) {
  std::string errMsg;
  // Without a group every statement commits on its own: slower, not wrong.
  if (!db.beginGroup(errMsg)) writeLog(kGroupFailed, errMsg, "\n");
}

void CatalogBuilder::commitGroupIfDue(Database& db) {
  if (db.isGroupOlderThan(kGroupMaxAge)) commitGroup(db);
}

void CatalogBuilder::commitGroup(Database& db) {
  std::string errMsg;
  db.commitGroup(errMsg);  // a failure is logged by Database; the next check re-enters the rows
}

constexpr LogSite kLoopSkipped{3, 321, "symbolic link loop skipped: "};

// A directory row that cannot be written still gets walked with -1 as its
// ID: the entries below then find or create their parent themselves. The
// row goes out with the open group, which is committed at the latest before
// anything below is watched or analysed.
void CatalogBuilder::visitDirEntry(const std::string& entryPath, int64_t parentId, Database& db,
                                   bool checkMode, std::vector<DirKey>& ancestors) {
  struct stat status;
  if (stat(entryPath.c_str(), &status) == 0 &&
      isOnDescentPath(ancestors, DirKey(status.st_dev, status.st_ino))) {
    writeLog(kLoopSkipped, entryPath, "\n");
    return;
  }
  int64_t id = checkMode ? findId(entryPath, db) : -1;
  std::string errMsg;
  if (id >= 0) {
    db.execute(CatalogSql::setFound(id), errMsg);  // a missed mark only costs a re-entry
  } else {
    id = insertDir(entryPath, parentId, db);
  }
  walkDir(entryPath + "/", id, db, checkMode, ancestors);
}

constexpr LogSite kNoDirParent{2, 433, "Insert dir error, can't find parent id!\n"};
constexpr LogSite kInsertDirFailed{2, 442, "Insert dir error: "};
constexpr LogSite kDirInserted{4, 445, "Insert dir: "};

// Missing ancestors are entered from the top down, starting below the nearest
// one that is catalogued, a shared folder, or the root.
int64_t CatalogBuilder::insertDir(std::string path, int64_t parentId, Database& db) {
  path = Util::removeLastSlash(std::move(path));
  if (parentId < 0) parentId = findParentId(path, db);
  if (parentId < 0) {
    int64_t sharedId = insertDirUnderSharedRoot(path, db);
    if (sharedId >= 0) return sharedId;
    std::string parentPath = Util::getParentPath(path);
    // A path without "/" is its own parent; recursing on it would not end.
    if (path.size() < 2 || parentPath == path) return 0;
    parentId = insertDir(parentPath, -1, db);
  }
  if (parentId < 0) {
    writeLog(kNoDirParent);
    return -1;
  }
  std::string errMsg;
  int64_t id =
      db.execute(CatalogSql::insertDirRow(parentId, path, Util::getFileName(path)), errMsg);
  if (id < 0) {
    writeLog(kInsertDirFailed, errMsg, "\n");
    return -1;
  }
  db.afterCommit([path] { writeLog(kDirInserted, path, "\n"); });
  return id;
}

// A shared folder's row always hangs under the root; if it cannot be entered
// the caller carries on with the root as parent. Returns -1 when path is not
// a shared folder.
int64_t CatalogBuilder::insertDirUnderSharedRoot(const std::string& path, Database& db) {
  for (const std::string& shared : sharedPaths) {
    if (path != Util::removeLastSlash(shared)) continue;
    int64_t id = insertDir(path, 0, db);
    return id >= 0 ? id : 0;
  }
  return -1;
}

int64_t CatalogBuilder::findId(std::string path, Database& db) {
  std::string errMsg;
  return db.queryValue(CatalogSql::selectIdByPath(path), errMsg);
}

int64_t CatalogBuilder::findParentId(std::string path, Database& db) {
  return findId(Util::getParentPath(std::move(path)), db);
}

// ---- File cataloguing ----

constexpr LogSite kNoFileParent{2, 364, "Insert file error, can't find parent id!\n"};

int64_t CatalogBuilder::insertFile(std::string path, int64_t parentId, Database& db) {
  lastInsertFailedInDatabase = false;
  FileInfo info;
  info.reset();
  info.fill(path);
  if (!isCatalogued(info.objType)) return -1;
  if (!waitForStableFile(info)) return -1;
  analyze(info);

  return writeNewFile(info, parentId, db);
}

// Finds or enters the parent of an analysed file, then writes its rows.
int64_t CatalogBuilder::writeNewFile(const FileInfo& info, int64_t parentId, Database& db) {
  const std::string& path = info.fullPathName;
  if (parentId < 0) parentId = findParentId(path, db);
  if (parentId < 0) parentId = insertDir(Util::getParentPath(path), -1, db);
  if (parentId < 0) {
    writeLog(kNoFileParent);
    lastInsertFailedInDatabase = true;
    return -1;
  }
  return writeFileRows(info, parentId, db);
}

constexpr LogSite kAnalysisFailed{3, 386, "analysis failed: "};

// The analysers read untrusted bytes; they run in a child process so that a
// crash or a hang costs this file its details, never the service.
void CatalogBuilder::analyze(FileInfo& info) {
  if (!analysisChild) analysisChild = std::make_unique<AnalysisChild>();
  std::string reason;
  if (!analysisChild->analyze(info, reason)) {
    writeLog(kAnalysisFailed, info.fullPathName + " (" + reason + ")", "\n");
  }
}

constexpr LogSite kBeginFailed{2, 371, "begin transaction fail: "};
constexpr LogSite kFileRowFailed{2, 379, "Insert file error: "};
constexpr LogSite kDetailRowFailed{2, 395, "Insert file error: "};
constexpr LogSite kFileInserted{6, 401, "Insert file: "};

// The OBJECTS row and its FILEDETAIL row (same ID) in one transaction: the
// media server never sees a file without its details.
int64_t CatalogBuilder::writeFileRows(const FileInfo& info, int64_t parentId, Database& db) {
  std::string errMsg;
  if (!db.beginTransaction(errMsg)) {
    writeLog(kBeginFailed, errMsg, "\n");
    lastInsertFailedInDatabase = true;
    return -1;
  }
  int64_t id = db.executeInTransaction(CatalogSql::insertFileRow(parentId, info), errMsg);
  if (id < 0) {
    writeLog(kFileRowFailed, errMsg, "\n");
    lastInsertFailedInDatabase = true;
    return -1;
  }
  std::string detail = info.objType == ObjType::Audio   ? CatalogSql::insertAudioDetail(id, info)
                       : info.objType == ObjType::Video ? CatalogSql::insertVideoDetail(id, info)
                                                        : CatalogSql::insertImageDetail(id, info);
  id = db.executeInTransaction(detail, errMsg);
  if (id < 0) {
    writeLog(kDetailRowFailed, errMsg, "\n");
    lastInsertFailedInDatabase = true;
    return -1;
  }
  lastDetailId = std::max(lastDetailId, id);
  if (!db.commitTransaction(errMsg) && !errMsg.empty()) {
    // COMMIT itself failed (logged by Database): the rows are not there.
    lastInsertFailedInDatabase = true;
    return -1;
  }
  // Inside a write group the rows are durable only with its commit; the
  // record waits for that.
  db.afterCommit([path = info.fullPathName] { writeLog(kFileInserted, path, "\n"); });
  return id;
}

constexpr LogSite kWatchSize{6, 516, "size = "};
constexpr LogSite kWatchAbandoned{4, 519, "isAppExit is true, stop watching "};
constexpr LogSite kSizeChanged{6, 523, " <> "};
constexpr LogSite kWatchVanished{3, 526, "file vanished during size watch: "};

// Polls at most 1200 times, about twenty minutes: a copy slower than that is
// catalogued as it stands.
constexpr int kMaxPolls = 1200;
// A file changed within this many minutes may still be being copied; videos
// are large and slow to copy, hence the longer window.
constexpr double kFreshMinutes = 5.0;
constexpr double kFreshVideoMinutes = 30.0;

// A file still being copied grows between polls; two polls in a row that see
// the size known before them mean the writer has finished, so analysing it
// now will not read a half-written header.
bool CatalogBuilder::waitForStableFile(FileInfo& info) {
  time_t newest = std::max(info.mtime, info.ctime);
  double ageMinutes = difftime(watchClock.now(), newest) / 60;
  double limit = info.objType == ObjType::Video ? kFreshVideoMinutes : kFreshMinutes;
  if (ageMinutes > limit) return true;

  int64_t size = info.fileSize;
  int stable = 0;
  for (int poll = 0; poll < kMaxPolls && stable < 2; ++poll) {
    writeLog(kWatchSize, std::to_string(size), "\n");
    watchClock.sleepOneSecond();
    if (exitRequested()) {
      writeLog(kWatchAbandoned, info.fullPathName, "\n");
      return false;
    }
    struct stat status;
    if (stat(info.fullPathName.c_str(), &status) != 0) {
      writeLog(kWatchVanished, info.fullPathName, "\n");
      return false;
    }
    int64_t newSize = static_cast<int64_t>(status.st_size);
    if (newSize == size) {
      ++stable;
      continue;
    }
    Logger::getInstance().writeLog(
        kSizeChanged.level,
        std::to_string(size) + kSizeChanged.text + std::to_string(newSize) + "\n", kLogSource,
        kSizeChanged.line);
    size = newSize;
    stable = 0;
  }
  std::string fullPath = info.fullPathName;
  info.reset();
  info.fill(fullPath);
  return true;
}

// ---- Full check ----

constexpr LogSite kClearFoundFailed{2, 100, "update db error: "};
constexpr LogSite kCheckFolder{4, 117, "Check shared folder: "};
constexpr LogSite kSweepFailed{2, 130, "fial delete Objects"};
constexpr LogSite kCheckPruneFailed{2, 134, "fial delete map"};
constexpr LogSite kSweepTime{4, 140, "Delete DB Time = "};

// Mark and sweep over FOUND: rows met again keep their IDs and details.
void CatalogBuilder::checkDatabase() {
  Database db(dbPath);
  startMapTracking();
  addPathIndex(db);
  std::string errMsg;
  if (db.execute(CatalogSql::clearFound(), errMsg) < 0) {
    writeLog(kClearFoundFailed, errMsg, "\n");
    return;
  }
  for (const std::string& shared : sharedPaths) {
    int64_t id = findId(Util::removeLastSlash(shared), db);
    if (id < 0) {
      insertDir(shared, 0, db);
    } else {
      db.execute(CatalogSql::setFound(id), errMsg);  // a missed mark only costs a re-entry
    }
  }
  for (const std::string& shared : sharedPaths) {
    std::string rootPath = Util::removeLastSlash(shared);
    writeLog(kCheckFolder, rootPath, "\n");
    int64_t id = findId(rootPath, db);
    if (id >= 0) traverseDir(shared, id, db, true);
  }
  // Rows the walk did not reach are still unmarked; deleting them on the
  // strength of an interrupted walk would throw away good rows.
  if (exitRequested()) return;
  time_t start = time(nullptr);
  if (db.execute(CatalogSql::deleteNotFound(), errMsg) < 0) writeLog(kSweepFailed, errMsg, "\n");
  if (db.execute(CatalogSql::pruneMaps(), errMsg) < 0) writeLog(kCheckPruneFailed, errMsg, "\n");
  writeLog(kSweepTime, timingText(start, time(nullptr)), " sec.\n");
}

// ---- Change detection ----

constexpr LogSite kExecRemove{6, 262, "exec:"};

void CatalogBuilder::clearSnapshots() {
  runTool(kExecRemove, "rm " + findOldPath + " " + findDiffPath, {"rm", findOldPath, findDiffPath});
}

constexpr LogSite kExecList{6, 224, "exec:"};
constexpr LogSite kExecCompare{6, 232, "exec:"};
constexpr LogSite kExecPromote{6, 244, "exec:"};
constexpr LogSite kChangedTrue{4, 248, "isChanged = true\n"};
constexpr LogSite kChangedFalse{4, 250, "isChanged = false\n"};

// Two spaces before "-follow": each folder is followed by a space and the
// option text starts with one.
std::string CatalogBuilder::listCommandText() const {
  std::string text = "find ";
  for (const std::string& shared : sharedPaths) text += shared + " ";
  return text + " -follow > " + findNewPath;
}

constexpr LogSite kSnapshotFailed{2, 252, "snapshot not written: "};

// Only names are compared: a file rewritten in place is no change. A
// listing or a difference that the disk did not take completely is not used
// and the previous snapshot is kept, so the next cycle compares against it
// again: a listing cut short would make every path after the cut a deletion,
// and a difference cut short would lose the changes after the cut for good.
bool CatalogBuilder::isChanged() {
  std::string errMsg;
  if (!takeSnapshot(errMsg)) return keepPreviousSnapshot(findNewPath, errMsg);
  bool changed = false;
  if (Util::isFileExist(findOldPath) && Util::isFileExist(findNewPath)) {
    std::string diffTool = homeDir + "/diff";
    if (!runTool(kExecCompare,
                 diffTool + " " + findOldPath + " " + findNewPath + " > " + findDiffPath,
                 {diffTool, findOldPath, findNewPath}, findDiffPath, errMsg)) {
      return keepPreviousSnapshot(findDiffPath, errMsg);
    }
    struct stat status;
    changed = stat(findDiffPath.c_str(), &status) == 0 && static_cast<int64_t>(status.st_size) > 0;
  }

  runTool(kExecPromote, "mv " + findNewPath + " " + findOldPath, {"mv", findNewPath, findOldPath});
  writeLog(changed ? kChangedTrue : kChangedFalse);
  return changed;
}

// Lists every path below the shared folders into findNewPath. Returns false
// with the reason in errMsg when the listing could not be written completely.
bool CatalogBuilder::takeSnapshot(std::string& errMsg) {
  if (sharedPaths.empty()) {
    // find without a folder would list the working directory, whose paths
    // have nothing to do with the catalogue; an empty listing is the truth.
    FdHandle empty(open(findNewPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    return true;
  }
  std::vector<std::string> argv{"find"};
  argv.insert(argv.end(), sharedPaths.begin(), sharedPaths.end());
  argv.push_back("-follow");
  return runTool(kExecList, listCommandText(), argv, findNewPath, errMsg);
}

// Reports the file that was cut short and drops the new listing, which also
// gives its space back. Returns false, the result of isChanged.
bool CatalogBuilder::keepPreviousSnapshot(const std::string& failedPath,
                                          const std::string& errMsg) {
  writeLog(kSnapshotFailed, failedPath + ": " + errMsg, "\n");
  unlink(findNewPath.c_str());  // a listing that is not there needs no removing
  writeLog(kChangedFalse);
  return false;
}

// ---- Incremental adjustment ----

constexpr LogSite kOpenDiffFailed{2, 154, "Open diff file fail.\n"};
constexpr LogSite kAdjustStopped{4, 164, "isAppExit is true, exit adjust db\n"};
constexpr LogSite kAdjustPruneFailed{2, 200, "fial delete map"};
constexpr LogSite kAdjustFillFailed{2, 203, "fial insert map"};

// The maps are refreshed even after a stop, so they match whatever was
// applied. Lines dropped by a stop are caught by the next start's check.
void CatalogBuilder::adjustDatabase() {
  std::ifstream diff(findDiffPath);
  if (!diff.is_open()) {
    writeLog(kOpenDiffFailed);
    return;
  }
  Database db(dbPath);
  std::string line;
  while (std::getline(diff, line)) {
    if (exitRequested()) {
      writeLog(kAdjustStopped);
      break;
    }
    applyDiffLine(line, db);
  }
  refreshMaps(db, kAdjustPruneFailed, kAdjustFillFailed);
}

void CatalogBuilder::refreshMaps(Database& db, const LogSite& pruneFailed,
                                 const LogSite& fillFailed) {
  std::string errMsg;
  if (db.execute(CatalogSql::pruneMaps(), errMsg) < 0) writeLog(pruneFailed, errMsg, "\n");
  if (db.execute(CatalogSql::fillMaps(), errMsg) < 0) writeLog(fillFailed, errMsg, "\n");
}

namespace {

// Adds path to list unless it is there already.
void remember(std::vector<std::string>& list, const std::string& path) {
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
}

void forget(std::vector<std::string>& list, const std::string& path) {
  list.erase(std::remove(list.begin(), list.end(), path), list.end());
}

}  // namespace

constexpr LogSite kOutsideFolders{3, 168, "not below a shared folder: "};

// find starts every line it prints with the folder it was given, so a line
// that does not is the rest of a name holding a line feed. A folder
// "x\n" holding tmp/a.jpg would otherwise have /tmp/a.jpg, outside every
// shared folder, catalogued and offered on the network.
bool CatalogBuilder::isBelowSharedFolder(const std::string& path) const {
  return std::any_of(sharedPaths.begin(), sharedPaths.end(), [&](const std::string& shared) {
    return path.compare(0, shared.size(), shared) == 0;
  });
}

// "< path" is gone, "> path" is new; headers such as 3a4 and "---" lines are
// ignored. New directories are not walked: find listed their contents too,
// each on a line of its own. A newer line about a path supersedes a retry
// still pending for it.
void CatalogBuilder::applyDiffLine(const std::string& line, Database& db) {
  if (line.empty() || (line[0] != '<' && line[0] != '>')) return;
  size_t slash = line.find('/');
  std::string path = slash == std::string::npos ? "" : line.substr(slash);
  if (!isBelowSharedFolder(path)) {
    writeLog(kOutsideFolders, path, "\n");
    return;
  }
  if (line[0] == '<') {
    forget(pendingInserts, path);
    if (!deleteObject(path, db)) remember(pendingDeletes, path);
    return;
  }
  forget(pendingDeletes, path);
  if (!insertChangedPath(path, db)) remember(pendingInserts, path);
}

bool CatalogBuilder::insertChangedPath(const std::string& path, Database& db) {
  if (Util::getFileName(path).rfind('.', 0) == 0) return true;  // hidden entries stay out
  std::string errMsg;
  if (db.queryValue(CatalogSql::selectIdByPath(Util::removeLastSlash(path)), errMsg) >= 0) {
    return true;
  }
  if (!errMsg.empty()) return false;  // the look-up failed: we cannot tell, try again later
  if (Util::isDirExist(path)) return insertDir(path, -1, db) >= 0;
  if (Util::isFileExist(path)) return insertFile(path, -1, db) >= 0 || !lastInsertFailedInDatabase;
  return true;
}

constexpr LogSite kRetryInsert{6, 170, "retry insert: "};
constexpr LogSite kRetryDelete{6, 172, "retry delete: "};
constexpr LogSite kRetryPruneFailed{2, 206, "fial delete map"};
constexpr LogSite kRetryFillFailed{2, 208, "fial insert map"};

// A change the media server's lock kept out would otherwise wait for the
// next start's full check: the file would be missing from the television
// (or a deleted one still listed) for as long as the service runs.
bool CatalogBuilder::retryPendingChanges() {
  if (pendingInserts.empty() && pendingDeletes.empty()) return false;
  Database db(dbPath);
  std::vector<std::string> deletes;
  deletes.swap(pendingDeletes);
  for (const std::string& path : deletes) {
    if (exitRequested()) break;
    // A path that is back on disk is right where it is in the catalogue.
    if (Util::isDirExist(path) || Util::isFileExist(path)) continue;
    writeLog(kRetryDelete, path, "\n");
    if (!deleteObject(path, db)) remember(pendingDeletes, path);
  }
  std::vector<std::string> inserts;
  inserts.swap(pendingInserts);
  for (const std::string& path : inserts) {
    if (exitRequested()) break;
    if (!Util::isDirExist(path) && !Util::isFileExist(path)) continue;  // gone again
    writeLog(kRetryInsert, path, "\n");
    if (!insertChangedPath(path, db)) remember(pendingInserts, path);
  }
  refreshMaps(db, kRetryPruneFailed, kRetryFillFailed);
  return true;
}

constexpr LogSite kNoObject{3, 457, "can't find object in database: "};
constexpr LogSite kDeleteFailed{2, 464, "Delete error: "};
constexpr LogSite kDeleted{6, 466, "Delete: "};

// Deletes one row only: a removed directory's contents come as "<" lines of
// their own, so nothing is deleted by prefix.
bool CatalogBuilder::deleteObject(std::string path, Database& db) {
  path = Util::removeLastSlash(std::move(path));
  std::string errMsg;
  int64_t id = db.queryValue(CatalogSql::selectIdByPath(path), errMsg);
  if (id < 0) {
    writeLog(kNoObject, path, "\n");
    return errMsg.empty();  // no row is no failure; a failed look-up is
  }
  // A "<" line for a path that is still there comes from a name holding a
  // line feed (see isBelowSharedFolder), not from a removal.
  if (Util::isDirExist(path) || Util::isFileExist(path)) return true;
  if (db.execute(CatalogSql::deleteById(id), errMsg) < 0) {
    writeLog(kDeleteFailed, errMsg, "\n");
    return false;
  }
  writeLog(kDeleted, path, "\n");
  return true;
}
