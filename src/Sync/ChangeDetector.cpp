// Sync/ChangeDetector.cpp: the listing, the comparison and the promotion.
#include "Sync/ChangeDetector.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Sync/ChangeNotices.h"
#include "Sync/SharedFolders.h"
#include "Sync/ToolRunner.h"
#include "Sync/WorkFiles.h"

namespace {

// The exit statuses that still mean the tool did its job.
constexpr int kAnyStatus = 255;
constexpr int kDiffDiffers = 1;  // 0: the same, 1: differences written
constexpr int kFindSkipped = 1;  // 1: something could not be read; the rest is listed

}  // namespace

// -f: a snapshot that is not there needs no removing, and the first start
// must not greet the terminal with an error that is none. The record keeps
// the usual text. rm's status is of no interest.
void ChangeDetector::clearSnapshots() {
  ToolRunner::run(LogId::ExecRemove, "rm " + files.findOldPath + " " + files.findDiffPath,
                  {"rm", "-f", files.findOldPath, files.findDiffPath}, kAnyStatus);
}

// Two spaces before "-follow": each folder is followed by a space and the
// option text starts with one.
std::string ChangeDetector::listCommandText() const {
  std::string text = "find ";
  for (const std::string& folder : folders.entries()) text += folder + " ";
  return text + " -follow > " + files.findNewPath;
}

// A listing cut short would make every path after the cut a deletion, and a
// difference cut short, or a listing promoted although its difference was
// never taken, would lose the changes for good; instead the previous
// listing stays, and the next cycle compares against it again and sees the
// same changes. The watch set follows only a listing that was promoted: it
// is the one the next cycle compares against.
bool ChangeDetector::isChanged() {
  timespec listedAt{};
  clock_gettime(CLOCK_REALTIME, &listedAt);
  ToolResult result = takeSnapshot();
  if (!result.isOk()) return keepPreviousSnapshot(files.findNewPath, result);
  bool changed = false;
  if (Util::isFileExist(files.findOldPath) && Util::isFileExist(files.findNewPath)) {
    std::string diffTool = files.homeDir + "/diff";
    std::string command =
        diffTool + " " + files.findOldPath + " " + files.findNewPath + " > " + files.findDiffPath;
    result = ToolRunner::run(LogId::ExecCompare, command,
                             {diffTool, files.findOldPath, files.findNewPath}, kDiffDiffers,
                             files.findDiffPath);
    if (!result.isOk()) return keepPreviousSnapshot(files.findDiffPath, result);
    struct stat status;
    changed =
        stat(files.findDiffPath.c_str(), &status) == 0 && static_cast<int64_t>(status.st_size) > 0;
  }
  result = ToolRunner::run(LogId::ExecPromote, "mv " + files.findNewPath + " " + files.findOldPath,
                           {"mv", files.findNewPath, files.findOldPath}, 0);
  if (!result.isOk()) return keepPreviousSnapshot(files.findOldPath, result);
  if (changed || notices.isStale()) notices.follow(files.findOldPath, listedAt);
  writeLog(changed ? LogId::ChangedTrue : LogId::ChangedFalse);
  return changed;
}

// Lists every path below the shared folders into findNew.txt.
ToolResult ChangeDetector::takeSnapshot() {
  if (folders.entries().empty()) {
    // find without a folder would list the working directory, whose paths
    // have nothing to do with the catalogue; an empty listing is the truth.
    FdHandle empty(open(files.findNewPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!empty.isOpen()) return {ToolResult::Code::OutputIncomplete, std::strerror(errno)};
    return {};
  }
  std::vector<std::string> argv{"find"};
  argv.insert(argv.end(), folders.entries().begin(), folders.entries().end());
  argv.push_back("-follow");
  return ToolRunner::run(LogId::ExecList, listCommandText(), argv, kFindSkipped, files.findNewPath);
}

// Reports a file that was cut short (a tool that failed has said so) and
// drops the new listing, which also gives its space back. Returns false,
// the result of isChanged.
bool ChangeDetector::keepPreviousSnapshot(const std::string& failedPath, const ToolResult& result) {
  if (result.code == ToolResult::Code::OutputIncomplete) {
    writeLog(LogId::SnapshotFailed, failedPath + ": " + result.reason);
  }
  unlink(files.findNewPath.c_str());  // a listing that is not there needs no removing
  writeLog(LogId::ChangedFalse);
  return false;
}
