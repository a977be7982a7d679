// Sync/ChangeDetector.cpp: the listing, the comparison and the promotion.
#include "Sync/ChangeDetector.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Sync/SharedFolders.h"
#include "Sync/ToolRunner.h"
#include "Sync/WorkFiles.h"

// -f: a snapshot that is not there needs no removing, and the first start
// must not greet the terminal with an error that is none. The record keeps
// the usual text.
void ChangeDetector::clearSnapshots() {
  ToolRunner::run(LogId::ExecRemove, "rm " + files.findOldPath + " " + files.findDiffPath,
                  {"rm", "-f", files.findOldPath, files.findDiffPath});
}

// Two spaces before "-follow": each folder is followed by a space and the
// option text starts with one.
std::string ChangeDetector::listCommandText() const {
  std::string text = "find ";
  for (const std::string& folder : folders.entries()) text += folder + " ";
  return text + " -follow > " + files.findNewPath;
}

// A listing cut short would make every path after the cut a deletion, and a
// difference cut short would lose the changes after the cut for good; the
// next cycle compares against the kept listing again instead.
bool ChangeDetector::isChanged() {
  std::string errMsg;
  if (!takeSnapshot(errMsg)) return keepPreviousSnapshot(files.findNewPath, errMsg);
  bool changed = false;
  if (Util::isFileExist(files.findOldPath) && Util::isFileExist(files.findNewPath)) {
    std::string diffTool = files.homeDir + "/diff";
    std::string command =
        diffTool + " " + files.findOldPath + " " + files.findNewPath + " > " + files.findDiffPath;
    if (!ToolRunner::run(LogId::ExecCompare, command,
                         {diffTool, files.findOldPath, files.findNewPath}, files.findDiffPath,
                         errMsg)) {
      return keepPreviousSnapshot(files.findDiffPath, errMsg);
    }
    struct stat status;
    changed =
        stat(files.findDiffPath.c_str(), &status) == 0 && static_cast<int64_t>(status.st_size) > 0;
  }
  ToolRunner::run(LogId::ExecPromote, "mv " + files.findNewPath + " " + files.findOldPath,
                  {"mv", files.findNewPath, files.findOldPath});
  writeLog(changed ? LogId::ChangedTrue : LogId::ChangedFalse);
  return changed;
}

// Lists every path below the shared folders into findNew.txt. Returns false
// with the reason in errMsg when the listing could not be written completely.
bool ChangeDetector::takeSnapshot(std::string& errMsg) {
  if (folders.entries().empty()) {
    // find without a folder would list the working directory, whose paths
    // have nothing to do with the catalogue; an empty listing is the truth.
    FdHandle empty(open(files.findNewPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    return true;
  }
  std::vector<std::string> argv{"find"};
  argv.insert(argv.end(), folders.entries().begin(), folders.entries().end());
  argv.push_back("-follow");
  return ToolRunner::run(LogId::ExecList, listCommandText(), argv, files.findNewPath, errMsg);
}

// Reports the file that was cut short and drops the new listing, which also
// gives its space back. Returns false, the result of isChanged.
bool ChangeDetector::keepPreviousSnapshot(const std::string& failedPath,
                                          const std::string& errMsg) {
  writeLog(LogId::SnapshotFailed, failedPath + ": " + errMsg);
  unlink(files.findNewPath.c_str());  // a listing that is not there needs no removing
  writeLog(LogId::ChangedFalse);
  return false;
}
