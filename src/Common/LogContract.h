// Common/LogContract.h: every record the programs write to the log, in one
// table.
//
// Log readers (the appliance's support tools, people grepping for a line)
// rely on a record's source name, line number, level and text, so these are
// a contract: the line is a contracted number, not a place in a source file,
// and a text keeps its spelling, typos included. A record is written as
// text + item + tail, where the item is what the record is about (a path, an
// error text, a number of seconds) and the tail usually ends the line.
//
// The table is in order of source and line. The code names a record by its
// LogId, whose value is its row in the table; the checks at the end refuse to
// compile a table whose rows are out of order, whose IDs do not match their
// rows, or in which a source and line appear twice.
#ifndef OMBRIX_COMMON_LOGCONTRACT_H
#define OMBRIX_COMMON_LOGCONTRACT_H

#include <cstddef>

// In the order the table lists them.
enum class LogSource { OmbrixMain, Ombrix, Database, ImageAnalyzer, Sandbox };

// The name a record carries for its source.
constexpr const char* logSourceName(LogSource source) {
  switch (source) {
    case LogSource::OmbrixMain:
      return "OmbrixMain";
    case LogSource::Ombrix:
      return "Ombrix";
    case LogSource::Database:
      return "Database/Database";
    case LogSource::ImageAnalyzer:
      return "Media/ImageAnalyzer";
    case LogSource::Sandbox:
      return "Analyze/Sandbox";
  }
  return "";
}

enum class LogId {
  // OmbrixMain: start-up, the service loop, shutdown
  ExitSignal,
  NotLegalDir,
  HelperMissing,
  NoDbFile,
  BuildTime,
  DbExists,
  CheckTime,
  Sleeping,
  AdjustTime,
  Shutdown,
  // Ombrix: the synchroniser
  CreateSchemaFailed,
  PrimeFailed,
  PathIndexFailed,
  BuildFolder,
  ClearFoundFailed,
  CheckFolder,
  CheckIncomplete,
  SweepFailed,
  CheckPruneFailed,
  SweepTime,
  OpenDiffFailed,
  AdjustStopped,
  OutsideFolders,
  RetryInsert,
  RetryDelete,
  AdjustPruneFailed,
  AdjustFillFailed,
  RetryPruneFailed,
  RetryFillFailed,
  ExecList,
  ExecCompare,
  ExecPromote,
  ChangedTrue,
  ChangedFalse,
  SnapshotFailed,
  ExecRemove,
  ToolFailed,
  OpenDirFailed,
  ReadDirFailed,
  WalkStopped,
  LoopSkipped,
  NotDirNorFile,
  WalkFillMapsFailed,
  GroupFailed,
  NoFileParent,
  BeginFileFailed,
  FileRowFailed,
  AnalysisFailed,
  AnalysisFieldsRefused,
  DetailRowFailed,
  FileInserted,
  NoDirParent,
  InsertDirFailed,
  DirInserted,
  NoObject,
  DeleteFailed,
  Deleted,
  WatchSize,
  WatchAbandoned,
  SizeChanged,
  WatchVanished,
  NoticesOff,
  NoticesLost,
  // Database/Database: connections and transactions
  OpenFailedInExecute,
  BeginFailedInExecute,
  ExecFailedInExecute,
  CommitFailedInExecute,
  CommitBusy,
  OpenFailedInBegin,
  BeginFailedInBegin,
  ExecFailedInTransaction,
  CommitFailedInCommit,
  QueryGaveUp,
  // Media/ImageAnalyzer: the sizes it read
  JpegSize,
  PngSize,
  // Analyze/Sandbox: the analysis helper's confinement
  SandboxIncomplete,
  Count
};

struct LogRecord {
  LogId id;
  LogSource source;
  int line;
  int level;
  const char* text;
  const char* tail;
};

// Levels: 1 the catalogue cannot be created or opened, 2 an operation failed
// and was abandoned, 3 an item is skipped, 4 progress and timings, 5 image
// sizes, 6 trace.
inline constexpr LogRecord kLogContract[] = {
    {LogId::ExitSignal, LogSource::OmbrixMain, 40, 4, "Ombrix receive app exit signal.\n", ""},
    {LogId::NotLegalDir, LogSource::OmbrixMain, 79, 3, "It's not a legal directory: ", "\n"},
    // The item is the path the helper was looked for at.
    {LogId::HelperMissing, LogSource::OmbrixMain, 83, 2,
     "analysis helper missing or not executable: ", "\n"},
    {LogId::NoDbFile, LogSource::OmbrixMain, 87, 4, "No Db File, build db.\n", ""},
    {LogId::BuildTime, LogSource::OmbrixMain, 92, 4, "Build DB Time = ", " sec.\n"},
    {LogId::DbExists, LogSource::OmbrixMain, 96, 4, "It existes db file already.\n", ""},
    {LogId::CheckTime, LogSource::OmbrixMain, 101, 4, "Check DB Time = ", " sec.\n"},
    {LogId::Sleeping, LogSource::OmbrixMain, 115, 6,
     "sleeping..Do not check files and build db...\n", ""},
    {LogId::AdjustTime, LogSource::OmbrixMain, 125, 4, "Adjust DB Time = ", " sec.\n"},
    {LogId::Shutdown, LogSource::OmbrixMain, 137, 6, "delete ombrix\n", ""},

    {LogId::CreateSchemaFailed, LogSource::Ombrix, 63, 1,
     "Create datebase fial. Message is: ", "\n"},
    {LogId::PrimeFailed, LogSource::Ombrix, 68, 1, "Initial datebase fial. Message is: ", "\n"},
    {LogId::PathIndexFailed, LogSource::Ombrix, 70, 2, "create path index fail: ", "\n"},
    {LogId::BuildFolder, LogSource::Ombrix, 81, 4, "Build shared folder: ", "\n"},
    {LogId::ClearFoundFailed, LogSource::Ombrix, 100, 2, "update db error: ", "\n"},
    {LogId::CheckFolder, LogSource::Ombrix, 117, 4, "Check shared folder: ", "\n"},
    // A check whose walk did not see every row (a write that could not land,
    // a look-up or a directory read that failed) deletes nothing.
    {LogId::CheckIncomplete, LogSource::Ombrix, 128, 2,
     "check incomplete, no row deleted\n", ""},
    {LogId::SweepFailed, LogSource::Ombrix, 130, 2, "fial delete Objects", "\n"},
    {LogId::CheckPruneFailed, LogSource::Ombrix, 134, 2, "fial delete map", "\n"},
    {LogId::SweepTime, LogSource::Ombrix, 140, 4, "Delete DB Time = ", " sec.\n"},
    {LogId::OpenDiffFailed, LogSource::Ombrix, 154, 2, "Open diff file fail.\n", ""},
    {LogId::AdjustStopped, LogSource::Ombrix, 164, 4, "isAppExit is true, exit adjust db\n", ""},
    {LogId::OutsideFolders, LogSource::Ombrix, 168, 3, "not below a shared folder: ", "\n"},
    {LogId::RetryInsert, LogSource::Ombrix, 170, 6, "retry insert: ", "\n"},
    {LogId::RetryDelete, LogSource::Ombrix, 172, 6, "retry delete: ", "\n"},
    {LogId::AdjustPruneFailed, LogSource::Ombrix, 200, 2, "fial delete map", "\n"},
    {LogId::AdjustFillFailed, LogSource::Ombrix, 203, 2, "fial insert map", "\n"},
    {LogId::RetryPruneFailed, LogSource::Ombrix, 206, 2, "fial delete map", "\n"},
    {LogId::RetryFillFailed, LogSource::Ombrix, 208, 2, "fial insert map", "\n"},
    {LogId::ExecList, LogSource::Ombrix, 224, 6, "exec:", "\n"},
    {LogId::ExecCompare, LogSource::Ombrix, 232, 6, "exec:", "\n"},
    {LogId::ExecPromote, LogSource::Ombrix, 244, 6, "exec:", "\n"},
    {LogId::ChangedTrue, LogSource::Ombrix, 248, 4, "isChanged = true\n", ""},
    {LogId::ChangedFalse, LogSource::Ombrix, 250, 4, "isChanged = false\n", ""},
    {LogId::SnapshotFailed, LogSource::Ombrix, 252, 2, "snapshot not written: ", "\n"},
    {LogId::ExecRemove, LogSource::Ombrix, 262, 6, "exec:", "\n"},
    {LogId::ToolFailed, LogSource::Ombrix, 266, 2, "exec fail: ", "\n"},
    {LogId::OpenDirFailed, LogSource::Ombrix, 277, 2, "fail to open dir :", "\n"},
    // The item is the directory, then the reason.
    {LogId::ReadDirFailed, LogSource::Ombrix, 279, 2, "fail to read dir :", "\n"},
    {LogId::WalkStopped, LogSource::Ombrix, 287, 4, "isAppExit is true, exit traverse Dir\n", ""},
    {LogId::LoopSkipped, LogSource::Ombrix, 321, 3, "symbolic link loop skipped: ", "\n"},
    {LogId::NotDirNorFile, LogSource::Ombrix, 325, 6, "not dir nor file =", "\n"},
    {LogId::WalkFillMapsFailed, LogSource::Ombrix, 331, 2, "fial insert map", "\n"},
    {LogId::GroupFailed, LogSource::Ombrix, 333, 2, "write group fail: ", "\n"},
    {LogId::NoFileParent, LogSource::Ombrix, 364, 2, "Insert file error, can't find parent id!\n",
     ""},
    {LogId::BeginFileFailed, LogSource::Ombrix, 371, 2, "begin transaction fail: ", "\n"},
    {LogId::FileRowFailed, LogSource::Ombrix, 379, 2, "Insert file error: ", "\n"},
    // The item is the path, then the reason in brackets.
    {LogId::AnalysisFailed, LogSource::Ombrix, 386, 3, "analysis failed: ", "\n"},
    // The item is the path, then each field of the helper's answer that the
    // daemon refused (and why) in brackets; those fields keep their defaults.
    {LogId::AnalysisFieldsRefused, LogSource::Ombrix, 388, 3, "analysis fields refused: ", "\n"},
    {LogId::DetailRowFailed, LogSource::Ombrix, 395, 2, "Insert file error: ", "\n"},
    {LogId::FileInserted, LogSource::Ombrix, 401, 6, "Insert file: ", "\n"},
    {LogId::NoDirParent, LogSource::Ombrix, 433, 2, "Insert dir error, can't find parent id!\n",
     ""},
    {LogId::InsertDirFailed, LogSource::Ombrix, 442, 2, "Insert dir error: ", "\n"},
    {LogId::DirInserted, LogSource::Ombrix, 445, 4, "Insert dir: ", "\n"},
    {LogId::NoObject, LogSource::Ombrix, 457, 3, "can't find object in database: ", "\n"},
    {LogId::DeleteFailed, LogSource::Ombrix, 464, 2, "Delete error: ", "\n"},
    {LogId::Deleted, LogSource::Ombrix, 466, 6, "Delete: ", "\n"},
    {LogId::WatchSize, LogSource::Ombrix, 516, 6, "size = ", "\n"},
    {LogId::WatchAbandoned, LogSource::Ombrix, 519, 4, "isAppExit is true, stop watching ", "\n"},
    // Written as the previous size, the text, the new size and the tail.
    {LogId::SizeChanged, LogSource::Ombrix, 523, 6, " <> ", "\n"},
    {LogId::WatchVanished, LogSource::Ombrix, 526, 3, "file vanished during size watch: ", "\n"},
    // Once a run: from here on the cycles come at the interval only. The item
    // is why: the kernel refused an instance, or the watch limit was reached
    // (it names fs.inotify.max_user_watches and the watches needed).
    {LogId::NoticesOff, LogSource::Ombrix, 540, 3, "change notices off: ", "\n"},
    {LogId::NoticesLost, LogSource::Ombrix, 544, 4,
     "change notices lost (queue overflow), cycle now\n", ""},

    {LogId::OpenFailedInExecute, LogSource::Database, 32, 1, "db error at open\n", ""},
    {LogId::BeginFailedInExecute, LogSource::Database, 41, 2, "db error at begin transaction\n",
     ""},
    {LogId::ExecFailedInExecute, LogSource::Database, 49, 2, "db error at exec\n", ""},
    {LogId::CommitFailedInExecute, LogSource::Database, 58, 2, "db error at commit\n", ""},
    // A reader holds the catalogue: COMMIT is tried again after each wait.
    {LogId::CommitBusy, LogSource::Database, 60, 4, "db busy at commit, retrying\n", ""},
    {LogId::OpenFailedInBegin, LogSource::Database, 74, 1, "db error at open\n", ""},
    {LogId::BeginFailedInBegin, LogSource::Database, 83, 2, "db error at begin transaction\n", ""},
    {LogId::ExecFailedInTransaction, LogSource::Database, 97, 2, "db error at exec\n", ""},
    {LogId::CommitFailedInCommit, LogSource::Database, 112, 2, "db error at commit\n", ""},
    {LogId::QueryGaveUp, LogSource::Database, 148, 2, "nTrys > 2\n", ""},

    // The item is width*height.
    {LogId::JpegSize, LogSource::ImageAnalyzer, 52, 5, "jpgAnalyze: ", "\n"},
    {LogId::PngSize, LogSource::ImageAnalyzer, 222, 5, "setPngType: ", "\n"},

    // The item names the kernel mechanisms the helper had to go without.
    {LogId::SandboxIncomplete, LogSource::Sandbox, 60, 3,
     "analysis sandbox incomplete, missing: ", "\n"},
};

constexpr const LogRecord& logRecord(LogId id) {
  return kLogContract[static_cast<size_t>(id)];
}

namespace logcontract {

constexpr bool comesBefore(const LogRecord& a, const LogRecord& b) {
  return a.source < b.source || (a.source == b.source && a.line < b.line);
}

// Each row's ID is its index, and each (source, line) is strictly after the
// one before: together, every LogId has exactly one row and no two rows
// share a source and line.
constexpr bool isWellFormed() {
  size_t count = sizeof kLogContract / sizeof kLogContract[0];
  if (count != static_cast<size_t>(LogId::Count)) return false;
  for (size_t i = 0; i < count; ++i) {
    if (static_cast<size_t>(kLogContract[i].id) != i) return false;
    if (i > 0 && !comesBefore(kLogContract[i - 1], kLogContract[i])) return false;
    if (kLogContract[i].level < 1 || kLogContract[i].level > 6) return false;
  }
  return true;
}

}  // namespace logcontract

static_assert(logcontract::isWellFormed(),
              "the log contract must list every LogId once, in order of source and line");

#endif  // OMBRIX_COMMON_LOGCONTRACT_H
