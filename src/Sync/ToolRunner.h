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

namespace ToolRunner {

// Writes the record execRecord with commandText, runs argv[0] (looked up in
// PATH, as the shell would) and waits for it. Its exit status is of no
// interest: diff exits 1 on differences, rm 1 on a missing file, find 1 when
// a file vanished during its walk. A tool that cannot start is said on
// standard error, as the shell would, and in the log.
//
// With an outputPath, the tool's standard output reaches that file (created
// or emptied, as "> path" would) through this process rather than straight
// from the tool: a tool that meets a full disk only complains on its own
// standard error, and a listing cut short would read as paths deleted.
// Returns false with the reason in errMsg when the file did not take all of
// the output; true otherwise, also when the tool could not start (the file
// is then empty, as the shell would leave it).
bool run(LogId execRecord, const std::string& commandText, const std::vector<std::string>& argv,
         const std::string& outputPath, std::string& errMsg);

// For a tool whose only output is its effect (rm, mv).
void run(LogId execRecord, const std::string& commandText, const std::vector<std::string>& argv);

}  // namespace ToolRunner

#endif  // OMBRIX_SYNC_TOOLRUNNER_H
