// Media/AnalysisChild.h: runs FileInfo::analyze in a separate process.
//
// TagLib, libavformat and libjpeg read untrusted bytes; a crash or a hang in
// them cannot be recovered inside the daemon. One long-lived child process
// analyses one record at a time: the daemon sends the filled record over a
// pipe, the child analyses it and sends it back. A child that crashes, is
// killed for taking longer than the time limit, or answers something that is
// not a record is reaped and replaced on the next call; the daemon carries on
// with the record's defaults. A long-lived child costs one fork per crash, not
// one per file.
//
// The child writes its own log records (the image records) to the same log,
// and the daemon waits for each answer, so records keep their order.
//
// Thread-safety: one owner thread; not copyable.
#ifndef OMBRIX_MEDIA_ANALYSISCHILD_H
#define OMBRIX_MEDIA_ANALYSISCHILD_H

#include <sys/types.h>

#include <string>

#include "Common/Handles.h"

class FileInfo;

class AnalysisChild {
 public:
  static constexpr int kTimeLimitSeconds = 30;

  // The function run in the child for each record; FileInfo::analyze in the
  // service, something that crashes or hangs in tests.
  using AnalyzeFunction = void (*)(FileInfo& info);

  explicit AnalysisChild(int timeLimitSeconds = kTimeLimitSeconds,
                         AnalyzeFunction analyzeFunction = nullptr);
  ~AnalysisChild();
  AnalysisChild(const AnalysisChild&) = delete;
  AnalysisChild& operator=(const AnalysisChild&) = delete;

  // Analyses info in the child. Returns true with info completed exactly as
  // FileInfo::analyze completes it. Returns false with the reason in errMsg
  // when the child failed; info then holds the defaults of an unreadable file
  // (no profile, details composed, result true).
  bool analyze(FileInfo& info, std::string& errMsg);

  // The record as bytes, and back. decode is false for anything that is not
  // a whole, well-formed record.
  static std::string encode(const FileInfo& info);
  static bool decode(const std::string& bytes, FileInfo& info);

 private:
  bool start(std::string& errMsg);
  void stop();
  // Reaps the child after a failure and says what became of it.
  std::string reapFailed(const char* what);

  int timeLimitSeconds;
  AnalyzeFunction analyzeFunction;
  pid_t pid = -1;
  FdHandle toChild;
  FdHandle fromChild;
};

#endif  // OMBRIX_MEDIA_ANALYSISCHILD_H
