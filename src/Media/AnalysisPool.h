// Media/AnalysisPool.h: media analysis in helper processes, several files at
// once.
//
// TagLib, libavformat and libjpeg read untrusted bytes, so the daemon never
// runs them: it hands each filled record to ombrix-analyze, a helper
// executable started with posix_spawn that analyses in a sandbox and answers
// with what analysis found and the log records the analysis wrote (see
// AnalysisProtocol.h). The answer is untrusted: each of its fields fills in
// the daemon's own record only after its check (AnalysisCheck.h); a field
// that fails keeps its default and is named in one record. A crash, a hang
// past the time limit or an answer that is not one well-formed answer costs
// that file its details, never the daemon:
// the helper is killed and reaped, the file gets the defaults of an
// unreadable one, and the next request goes to a fresh helper.
//
// Requests are queued in submission order and handed to up to helperCount
// helpers, one request each at a time. The caller takes the answers by ticket
// in any order it likes. Nothing runs behind the caller's back: pump() polls
// the helpers' pipes, reads answers, enforces the limit, replaces dead
// helpers and hands out queued requests, and take() pumps until its ticket is
// done. Helpers start when a request needs one and stay until abandonAll(),
// so the owner decides when an idle daemon lets them go (at the end of each
// walk and each adjustment).
//
// Thread-safety: one owner thread; not copyable.
#ifndef OMBRIX_MEDIA_ANALYSISPOOL_H
#define OMBRIX_MEDIA_ANALYSISPOOL_H

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Media/FileInfo.h"

enum class AnalysisOutcome {
  Analysed,    // the helper's answer
  NotStarted,  // no helper could be started
  Died,        // the helper crashed, was killed, or went away
  TimedOut,    // no answer within the limit: the helper was killed
  Garbage,     // an answer that is not one well-formed answer: the helper was killed
};

struct AnalysisResult {
  AnalysisOutcome outcome = AnalysisOutcome::NotStarted;
  // The record submitted, its analysis fields from the answer where they
  // passed their checks, details composed from the profile: what
  // FileInfo::analyze would make of it. On failure the defaults of a file its
  // analyser cannot read (no profile, details composed, result true).
  FileInfo info;
  // What the analysis logged, oldest first, then the daemon's record of the
  // fields it refused, if any: for the daemon to write.
  std::vector<CapturedRecord> records;
  std::string reason;  // on failure, for the "analysis failed: " record

  bool isAnalysed() const { return outcome == AnalysisOutcome::Analysed; }
};

class AnalysisPool {
 public:
  using Ticket = uint64_t;                   // from 1 up, in submission order
  static constexpr int kDefaultHelpers = 2;  // one per core of the appliance
  static constexpr int kTimeLimitSeconds = 30;

  // helperCommand is the program and its arguments (ombrix-analyze in the
  // service; tests put in programs that hang or talk nonsense).
  explicit AnalysisPool(std::vector<std::string> helperCommand, int helperCount = kDefaultHelpers,
                        int timeLimitSeconds = kTimeLimitSeconds);
  // Lets helpers started from now on read the files below folder (a shared
  // folder): it goes to them as one more argument, and their sandbox lets
  // them read nothing outside such folders. Helpers already running keep
  // what they had; the daemon adds its folders before the first file.
  void addReadableFolder(const std::string& folder) { command.push_back(folder); }
  ~AnalysisPool();
  AnalysisPool(const AnalysisPool&) = delete;
  AnalysisPool& operator=(const AnalysisPool&) = delete;

  // Queues info and returns at once, after what progress it can make
  // without waiting (pump(0)): a free helper starts on it before the call
  // returns.
  Ticket submit(const FileInfo& info);

  // Makes what progress it can for up to timeoutMs (0: only what is ready
  // now; negative: until some answer came or some limit passed). Returns
  // early when a signal interrupts the wait.
  void pump(int timeoutMs);

  // True while a request is queued or with a helper.
  bool isBusy() const { return !pending.empty(); }

  // True once ticket's result is waiting to be taken.
  bool isDone(Ticket ticket) const { return done.count(ticket) != 0; }

  // Waits until ticket is done and hands its result over; the ticket is
  // forgotten. A ticket never submitted, taken before or abandoned comes
  // back as NotStarted.
  AnalysisResult take(Ticket ticket);

  // submit and take: one file at a time.
  AnalysisResult analyze(const FileInfo& info) { return take(submit(info)); }

  // Forgets every ticket, queued, running or done, and ends every helper.
  void abandonAll();

  size_t runningHelpers() const { return helpers.size(); }

  // The installed helper for the running program: beside its executable (a
  // build tree puts it there), else in the private library directory
  // relative to it (bin/../lib/ombrix). When neither exists, the latter,
  // which is where a report should point.
  static std::string locateHelper();

 private:
  // Pumps until ticket is done; returns at once for a ticket it does not
  // know (never submitted, taken or abandoned).
  void wait(Ticket ticket);

  struct Helper {
    pid_t pid = -1;
    FdHandle requests;  // its standard input
    FdHandle answers;   // its standard output
    Ticket ticket = 0;  // the request it works on; 0 while idle
    double deadline = 0;
    std::string received;  // answer bytes so far
    bool isEnded = false;
  };

  void dispatch();
  void removeEnded();
  bool startHelper(Helper& helper, std::string& errMsg);
  void send(Helper& helper, Ticket ticket);
  void readAnswer(Helper& helper);
  void acceptAnswer(Helper& helper, const std::string& payload);
  // Kills and reaps helper, fails its request (if any) with outcome and
  // what, or with the signal that ended it.
  void failHelper(Helper& helper, AnalysisOutcome outcome, const std::string& what);
  void endHelper(Helper& helper);
  void finish(Ticket ticket, AnalysisResult result);
  void fail(Ticket ticket, AnalysisOutcome outcome, const std::string& reason);

  std::vector<std::string> command;
  size_t helperLimit;
  int timeLimitSeconds;
  Ticket lastTicket = 0;
  std::deque<Ticket> queued;
  std::map<Ticket, FileInfo> pending;  // queued or running: the records sent
  std::map<Ticket, AnalysisResult> done;
  std::vector<Helper> helpers;
};

#endif  // OMBRIX_MEDIA_ANALYSISPOOL_H
