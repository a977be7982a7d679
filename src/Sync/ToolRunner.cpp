// Sync/ToolRunner.cpp: posix_spawn with the output copied through a pipe.
#include "Sync/ToolRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"

extern char** environ;

namespace {

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
    notifyProgress();  // a long listing is progress, a hung one is not
    if (isComplete && !Util::writeAll(to, buffer, static_cast<size_t>(n))) {
      errMsg = std::strerror(errno);
      isComplete = false;
    }
  }
  return isComplete;
}

}  // namespace

namespace ToolRunner {

bool run(LogId execRecord, const std::string& commandText, const std::vector<std::string>& argv,
         const std::string& outputPath, std::string& errMsg) {
  writeLog(execRecord, commandText);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  SpawnActions actions;
  FdHandle output;
  Pipe fromTool;
  if (!outputPath.empty()) {
    output.reset(open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!output.isOpen() || !fromTool.open()) {
      errMsg = std::strerror(errno);
      return false;
    }
    actions.redirect(fromTool.writeEnd.get(), STDOUT_FILENO);
  }

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  fromTool.writeEnd.reset();  // the tool holds the only write end now: end of file when it exits
  if (rc != 0) {
    fprintf(stderr, "Ombrix: %s: %s\n", args[0], std::strerror(rc));
    writeLog(LogId::ToolFailed, commandText + ": " + std::strerror(rc));
    return true;
  }
  bool isComplete =
      !fromTool.readEnd.isOpen() || copyOutput(fromTool.readEnd.get(), output.get(), errMsg);
  // SA_RESTART covers the exit signal; any other interruption is retried too.
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (output.isOpen() && close(output.release()) != 0 && isComplete) {
    errMsg = std::strerror(errno);  // some file systems report a full disk only here
    isComplete = false;
  }
  return isComplete;
}

void run(LogId execRecord, const std::string& commandText, const std::vector<std::string>& argv) {
  std::string errMsg;
  (void)run(execRecord, commandText, argv, "", errMsg);  // always true without an output file
}

}  // namespace ToolRunner
