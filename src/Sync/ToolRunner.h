// Sync/ToolRunner.h: runs the standard tools (find, the diff tool, mv, rm)
// without a shell.
//
// A shared folder or home path holding a space, ";" or "$(...)" would be
// split or executed by a shell, so each tool gets its arguments as a list.
// The "exec:" record still carries the shell command text that log readers
// know, so for ordinary paths the log is what it always was.
#ifndef OMBRIX_SYNC_TOOLRUNNER_H
#define OMBRIX_SYNC_TOOLRUNNER_H

#include <string>
#include <vector>

#include "Common/LogContract.h"

// What running a tool came to.
struct ToolResult {
  enum class Code {
    Ok,                // it ran and ended with a status its caller accepts
    Failed,            // it could not start, was killed, or ended with another status
    OutputIncomplete,  // the output file did not take all of its output
  };
  Code code = Code::Ok;
  std::string reason;  // when not Ok

  bool isOk() const { return code == Code::Ok; }
};

namespace ToolRunner {

// Writes the record execRecord with commandText, runs argv[0] (looked up in
// PATH, as the shell would) and waits for it. Exit statuses from 0 up to
// worstGoodStatus are success: diff exits 1 on differences, find 1 when it
// could not read a directory or a file vanished during its walk (what it
// lists is still the truth). Anything else is Failed, said in one
// "exec fail: " record (and on standard error when the tool cannot start,
// as the shell would).
//
// With an outputPath, the tool's standard output reaches that file (created
// or emptied, as "> path" would) through this process rather than straight
// from the tool: a tool that meets a full disk only complains on its own
// standard error, and a listing cut short would read as paths deleted.
ToolResult run(LogId execRecord, const std::string& commandText,
               const std::vector<std::string>& argv, int worstGoodStatus,
               const std::string& outputPath = "");

}  // namespace ToolRunner

#endif  // OMBRIX_SYNC_TOOLRUNNER_H
