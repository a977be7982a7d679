// tools/OmbrixCheck.cpp: ombrix-check [-q] FOLDER..., a read-only check that
// the catalogue is true to the shared folders.
//
// Run with the daemon's DLNAHOME and the daemon's folders. Prints one line
// per finding and a summary line (-q: the summary only); on a terminal it
// shows how many paths it has listed while it lists them. The work is in
// tools/check/.
//
// Exit status: 0 when nothing was found, 1 when something was, 2 when the
// check could not be done (usage, no DLNAHOME, a folder that is not a
// directory, no catalogue or one that cannot be read), with a message on
// standard error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Common/Util.h"
#include "check/CatalogCheck.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitFailed = 2;

int fail(const std::string& message) {
  fprintf(stderr, "ombrix-check: %s\n", message.c_str());
  return kExitFailed;
}

// As the daemon takes a folder: a relative one is made absolute against the
// working directory without resolving anything in it, then gets a trailing
// "/", so the paths come out exactly as the daemon stores them.
std::string folderEntry(const std::string& folder) {
  return Util::addLastSlash(Util::makeAbsolute(folder));
}

// Rewrites one line of standard error with the count so far; it is erased
// again when the listing is done.
void showProgress(size_t paths) {
  fprintf(stderr, "\rombrix-check: %zu paths listed", paths);
}

// Reads [-q] [--] FOLDER... and DLNAHOME into request. Returns false with
// the reason in errMsg.
bool parseArguments(int argc, char* argv[], bool& isQuiet, check::CheckRequest& request,
                    std::string& errMsg) {
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (std::strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (std::strcmp(argv[first], "-q") != 0) {
      errMsg = "unknown option " + std::string(argv[first]);
      return false;
    }
    isQuiet = true;
  }
  const char* home = getenv("DLNAHOME");
  if (first >= argc) errMsg = "usage: ombrix-check [-q] FOLDER...";
  if (first < argc && home == nullptr) errMsg = "DLNAHOME is not set: use the daemon's DLNAHOME";
  if (!errMsg.empty()) return false;
  // The daemon removes one trailing "/" in main and one more in the builder.
  request.homeDir = Util::removeLastSlash(Util::removeLastSlash(home));
  for (int i = first; i < argc; ++i) {
    if (!Util::isDirExist(argv[i])) {
      errMsg = "not a directory that can be opened: " + std::string(argv[i]);
      return false;
    }
    request.folderEntries.push_back(folderEntry(argv[i]));
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  bool isQuiet = false;
  check::CheckRequest request;
  std::string errMsg;
  if (!parseArguments(argc, argv, isQuiet, request, errMsg)) return fail(errMsg);
  bool isTerminal = isatty(STDERR_FILENO) == 1;
  if (isTerminal) request.progress = showProgress;

  check::CheckResult result;
  bool isDone = check::runCheck(request, result, errMsg);
  if (isTerminal) fputs("\r\033[K", stderr);  // the progress line
  if (!isDone) return fail(errMsg);
  if (!isQuiet) {
    for (const check::Finding& finding : result.findings) puts(check::findingLine(finding).c_str());
  }
  puts(check::summaryLine(result).c_str());
  return result.findings.empty() ? kExitClean : kExitFindings;
}
