// OmbrixMain.cpp: the entry point, the service loop and the exit-signal
// handler.
//
// Usage: Ombrix log_level(0~6) shared_path1 shared_path_2 ... with DLNAHOME
// naming the service home. Start-up order matters: refusals first (they
// touch nothing), then the handler, the work directory and a fresh log, the
// shared folders, the analysis helper's check, the first snapshot (and the
// first watches of the change notices), and only then the build or the
// check, so changes made while those run show up in the first difference of
// the loop. The daemon itself never parses media: the analysis helper does
// (Media/AnalysisPool.h). Under a service manager it says when it is ready,
// what it is doing and that it still makes progress (Common/ServiceNotify.h).
// Every exit status is 0. Log source "OmbrixMain".
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Database/Catalog.h"
#include "Media/AnalysisPool.h"
#include "Sync/CatalogBuilder.h"

namespace {

constexpr const char* kUsage = "usage: Ombrix log_level(0~6) shared_path1 shared_path_2 ...\n";
constexpr const char* kNoHome = "can't find DLNAHOME environment!\n";

// Set by the handler when it could not write its record because the signal
// interrupted a log write that holds the logger's lock; the loop writes the
// record instead. Handler-to-loop state must be a sig_atomic_t of its own.
volatile std::sig_atomic_t isExitRecordPending = 0;

// Does the minimum a handler may do: one non-blocking log attempt and the
// flag. The loops notice the flag and stop in order.
void onExitSignal(int signalNumber) {
  if (signalNumber != SIGINT && signalNumber != SIGTERM) return;
  int savedErrno = errno;
  if (!Logger::getInstance().writeLogFromHandler(LogId::ExitSignal)) {
    isExitRecordPending = 1;
  }
  AppStatus::getInstance().setAppExit(true);
  errno = savedErrno;
}

// The handler stays installed after it has run, and interrupted system calls
// other than sleeps are restarted, as signal(2) does on Linux.
void installExitHandlers() {
  struct sigaction action {};
  action.sa_handler = onExitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The loop's test of the exit flag; writes the handler's record if the
// handler had to leave it, so it appears exactly once.
bool isExitRequested() {
  if (!AppStatus::getInstance().getAppExit()) return false;
  if (isExitRecordPending) {
    isExitRecordPending = 0;
    writeLog(LogId::ExitSignal);
  }
  return true;
}

// No parents are created. The log lives in the work directory, so a work
// directory that cannot be created can only be reported on standard error.
// The service starts all the same: every exit status is 0.
void prepareWorkDir(const std::string& homeDir) {
  std::string workDir = homeDir + "/nstemp";
  // umask decides the mode, as with mkdir(1)
  if (!Util::isDirExist(workDir) && mkdir(workDir.c_str(), 0777) != 0 && errno != EEXIST) {
    fprintf(stderr, "Ombrix: cannot create the work directory %s: %s\n", workDir.c_str(),
            strerror(errno));
  }
  unlink((workDir + "/Ombrix.log").c_str());  // no previous log is no error
}

void addSharedFolders(CatalogBuilder& builder, int argc, char* argv[]) {
  for (int i = 2; i < argc; ++i) {
    if (!Util::isDirExist(argv[i])) {
      writeLog(LogId::NotLegalDir, argv[i]);
      continue;
    }
    // The catalogue and the listing need absolute paths: the media server
    // opens PATH as stored, and the adjustment reads each path from its
    // first "/".
    builder.addSharedPath(Util::makeAbsolute(argv[i]));
  }
}

// Said once at start-up, since otherwise each file would only say "analysis
// failed". The service runs all the same: files get their rows with the
// defaults, and a helper put back is used from the next file on.
void checkHelper(const std::string& helperPath) {
  struct stat status;
  if (stat(helperPath.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      access(helperPath.c_str(), X_OK) == 0) {
    return;
  }
  const LogRecord& record = logRecord(LogId::HelperMissing);
  fprintf(stderr, "Ombrix: %s%s%s", record.text, helperPath.c_str(), record.tail);
  writeLog(LogId::HelperMissing, helperPath);
}

// The files in the catalogue, for the status line; -1 when they cannot be
// counted. Only asked while a service manager listens, and never of a
// catalogue that is not there (opening it would create it).
int64_t catalogueFiles(const CatalogBuilder& builder) {
  if (!AppStatus::getInstance().notifier().isOpen() || !builder.dbExists()) return -1;
  IdResult files = Catalog(builder.workFiles().dbPath).countFiles();
  return files.isOk() ? files.id : -1;
}

// The lines of the difference that the adjustment applies.
size_t countChanges(const std::string& diffPath) {
  std::ifstream diff(diffPath);
  size_t changes = 0;
  for (std::string line; std::getline(diff, line);) {
    if (!line.empty() && (line[0] == '<' || line[0] == '>')) ++changes;
  }
  return changes;
}

void buildOrCheck(CatalogBuilder& builder, PendingChanges& pending) {
  bool exists = builder.dbExists();
  writeLog(exists ? LogId::DbExists : LogId::NoDbFile);
  ServiceNotify& notifier = AppStatus::getInstance().notifier();
  time_t start = time(nullptr);
  if (exists) {
    notifier.checking(catalogueFiles(builder));
    builder.checkDatabase(pending);
  } else {
    notifier.building();
    builder.buildDatabase(pending);
  }
  writeLog(exists ? LogId::CheckTime : LogId::BuildTime, timingText(start, time(nullptr)));
}

// The sleep lasts the interval, less once the kernel's change notices have
// come and gone quiet (Sync/ChangeNotices.h); either way the cycle is the
// same. A signal ends the sleep at once; the rest of that cycle still runs
// (the adjustment stops by itself on the flag) before the loop ends. Every
// cycle tells the service manager where it stands, which also keeps its
// watchdog fed while idle or paused.
void serve(CatalogBuilder& builder, PendingChanges& pending) {
  AppStatus& status = AppStatus::getInstance();
  ServiceNotify& notifier = status.notifier();
  notifier.ready(catalogueFiles(builder));
  while (!isExitRequested()) {
    // Most of the daemon's life is this wait: give back the heap that the
    // last walk's look-ahead and the catalogue's page cache left free.
    malloc_trim(0);
    builder.waitForChanges(status.getInterval(), status.getSleepPath(), pending);
    if (Util::isFileExist(status.getSleepPath())) {
      writeLog(LogId::Sleeping);
      notifier.paused(status.getSleepPath());
      continue;
    }
    // what a lock or a failure kept out last time
    if (builder.retryPendingChanges(pending)) notifier.caughtUp(catalogueFiles(builder));
    if (!builder.isChanged()) {
      notifier.idle();
      continue;
    }
    notifier.applying(countChanges(builder.workFiles().findDiffPath));
    time_t start = time(nullptr);
    builder.adjustDatabase(pending);
    writeLog(LogId::AdjustTime, timingText(start, time(nullptr)));
    notifier.caughtUp(catalogueFiles(builder));
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc <= 2) {
    fputs(kUsage, stdout);
    return 0;
  }
  const char* dlnaHome = getenv("DLNAHOME");
  if (dlnaHome == nullptr) {
    fputs(kNoHome, stdout);
    return 0;
  }
  installExitHandlers();
  AppStatus::getInstance().notifier().open();  // before the first tool or helper starts
  TestSeams::applyEnvironment();

  std::string homeDir = Util::removeLastSlash(dlnaHome);
  std::string helperPath = AnalysisPool::locateHelper();
  auto builder = std::make_unique<CatalogBuilder>(homeDir, helperPath);
  prepareWorkDir(homeDir);
  Logger::getInstance().setLevel(atoi(argv[1]));
  Logger::getInstance().setLogPath(homeDir + "/nstemp/Ombrix.log");
  addSharedFolders(*builder, argc, argv);
  checkHelper(helperPath);

  // What a build, a check or a cycle could not finish, for the next cycle.
  PendingChanges pending;
  builder->clearSnapshots();
  builder->isChanged();  // lays down the first snapshot; nothing to compare yet
  buildOrCheck(*builder, pending);
  serve(*builder, pending);

  AppStatus::getInstance().notifier().stopping();
  builder.reset();
  writeLog(LogId::Shutdown);
  return 0;
}
