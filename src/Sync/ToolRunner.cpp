// Sync/ToolRunner.cpp: posix_spawn with the output copied through a pipe.
#include "Sync/ToolRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"
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

// Why a tool that ended with waitStatus did not do its job, or "" when it
// did.
std::string exitFailure(int waitStatus, int worstGoodStatus) {
  if (WIFSIGNALED(waitStatus)) return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
  if (!WIFEXITED(waitStatus)) return "did not end";
  int status = WEXITSTATUS(waitStatus);
  return status <= worstGoodStatus ? "" : "exit status " + std::to_string(status);
}

}  // namespace

namespace ToolRunner {

ToolResult run(LogId execRecord, const std::string& commandText,
               const std::vector<std::string>& argv, int worstGoodStatus,
               const std::string& outputPath) {
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
      return {ToolResult::Code::OutputIncomplete, std::strerror(errno)};
    }
    actions.redirect(fromTool.writeEnd.get(), STDOUT_FILENO);
  }

  if (TestSeams::shouldFail(TestSeams::Fault::ToolFails)) {  // as if it failed at once
    writeLog(LogId::ToolFailed, commandText + ": exit status 2");
    return {ToolResult::Code::Failed, "exit status 2"};
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  fromTool.writeEnd.reset();  // the tool holds the only write end now: end of file when it exits
  if (rc != 0) {
    fprintf(stderr, "Ombrix: %s: %s\n", args[0], std::strerror(rc));
    writeLog(LogId::ToolFailed, commandText + ": " + std::strerror(rc));
    return {ToolResult::Code::Failed, std::strerror(rc)};
  }
  ToolResult result;
  if (fromTool.readEnd.isOpen() &&
      !copyOutput(fromTool.readEnd.get(), output.get(), result.reason)) {
    result.code = ToolResult::Code::OutputIncomplete;
  }
  int waitStatus = 0;
  // SA_RESTART covers the exit signal; any other interruption is retried too.
  while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  if (output.isOpen() && close(output.release()) != 0 && result.isOk()) {
    // some file systems report a full disk only here
    result = {ToolResult::Code::OutputIncomplete, std::strerror(errno)};
  }
  std::string failure = exitFailure(waitStatus, worstGoodStatus);
  if (!failure.empty()) {
    writeLog(LogId::ToolFailed, commandText + ": " + failure);
    return {ToolResult::Code::Failed, failure};
  }
  return result;
}

}  // namespace ToolRunner
