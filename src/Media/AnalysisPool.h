// Media/AnalysisPool.h: media analysis in sandboxed worker processes,
// several files at once.
//
// TagLib, libavformat and libjpeg read untrusted bytes, so the daemon never
// runs them. For a walk or an adjustment it starts one ombrix-analyze (with
// posix_spawn), which loads the libraries and forks the workers
// (AnalysisParent.h, WorkerParent.h); a worker analyses in a sandbox and
// answers with what analysis found and the log records the analysis wrote
// (AnalysisProtocol.h). The answer is untrusted: each of its fields fills in
// the daemon's own record only after its check (AnalysisCheck.h); a field
// that fails keeps its default and is named in one record. A crash, a hang
// past the time limit or an answer that is not one well-formed answer costs
// that file its details, never the daemon and never another file: the
// worker is killed and reaped (by the parent, which says how it ended), the
// file gets the defaults of an unreadable one, the files it had not reached
// go back to the head of the queue, and the parent forks a fresh worker.
//
// Requests are queued in submission order and handed to up to workerCount
// workers. A worker with nothing to do gets the oldest queued files: one,
// or, when the queue is deep, a batch of up to kMaxBatch (an even share of
// the queue), which it analyses in order, answering each file as it is
// done; its time limit runs from its last answer. The caller takes the
// answers by ticket in any order it likes. Nothing runs behind the caller's
// back: pump() polls the workers' pipes and the parent's socket, reads
// answers, enforces the limits, asks for workers and hands out queued
// requests, and take() pumps until its ticket is done. The parent starts
// when a request needs a worker, and it and its workers stay until
// abandonAll(), so the owner decides when an idle daemon lets them go (at
// the end of each walk and each adjustment).
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
#include "Media/AnalysisParent.h"
#include "Media/FileInfo.h"

enum class AnalysisOutcome {
  Analysed,    // the worker's answer
  NotStarted,  // no worker could be started
  Died,        // the worker crashed, was killed, or went away
  TimedOut,    // no answer within the limit: the worker was killed
  Garbage,     // an answer that is not one well-formed answer: the worker was killed
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
  static constexpr int kDefaultHelpers = 2;  // one worker per core of the appliance
  static constexpr int kTimeLimitSeconds = 30;

  // helperCommand is the program and its arguments (ombrix-analyze in the
  // service; tests put in a parent whose workers talk nonsense).
  explicit AnalysisPool(std::vector<std::string> helperCommand, int workerCount = kDefaultHelpers,
                        int timeLimitSeconds = kTimeLimitSeconds);
  // Lets workers forked by parents started from now on read the files below
  // folder (a shared folder): it goes to the parent as one more argument,
  // and their sandbox lets them read nothing outside such folders. The
  // daemon adds its folders before the first file.
  void addReadableFolder(const std::string& folder) { parent.addArgument(folder); }
  ~AnalysisPool();
  AnalysisPool(const AnalysisPool&) = delete;
  AnalysisPool& operator=(const AnalysisPool&) = delete;

  // Queues info and returns at once, after what progress it can make
  // without waiting (pump(0)): a free worker starts on it before the call
  // returns.
  Ticket submit(const FileInfo& info);

  // Makes what progress it can for up to timeoutMs (0: only what is ready
  // now; negative: until some answer came or some limit passed). Returns
  // early when a signal interrupts the wait.
  void pump(int timeoutMs);

  // True while a request is queued or with a worker.
  bool isBusy() const { return !pending.empty(); }

  // True once ticket's result is waiting to be taken.
  bool isDone(Ticket ticket) const { return done.count(ticket) != 0; }

  // Waits until ticket is done and hands its result over; the ticket is
  // forgotten. A ticket never submitted, taken before or abandoned comes
  // back as NotStarted.
  AnalysisResult take(Ticket ticket);

  // submit and take: one file at a time.
  AnalysisResult analyze(const FileInfo& info) { return take(submit(info)); }

  // Forgets every ticket, queued, running or done, and ends every worker
  // and the parent.
  void abandonAll();

  // Workers running or being forked.
  size_t runningWorkers() const { return liveWorkers() + startsAsked; }
  // Parents started so far: one per walk or adjustment, however many
  // workers failed.
  size_t parentStarts() const { return parent.starts(); }

  // The installed helper for the running program: beside its executable (a
  // build tree puts it there), else in the private library directory
  // relative to it (bin/../lib/ombrix). When neither exists, the latter,
  // which is where a report should point.
  static std::string locateHelper();

 private:
  struct Worker {
    pid_t pid = -1;            // as the parent knows it
    FdHandle requests;         // the write end of its standard input
    FdHandle answers;          // the read end of its standard output
    std::deque<Ticket> batch;  // sent, not yet answered, oldest first
    double deadline = 0;       // for the answer to batch.front()
    std::string received;      // answer bytes so far
    bool isEnded = false;
  };
  // A worker the parent is ending; the file it failed on waits for the
  // parent's word on how it ended (a signal is named in the reason).
  struct Ending {
    pid_t pid;
    Ticket ticket;  // 0: it failed on no file
    AnalysisOutcome outcome;
    std::string reason;
  };

  // Pumps until ticket is done; returns at once for a ticket it does not
  // know (never submitted, taken or abandoned).
  void wait(Ticket ticket);

  size_t liveWorkers() const;
  void dispatch();
  void askForWorkers();
  void removeEnded();
  void send(Worker& worker);
  void readControl();
  void addWorker(pid_t pid, std::vector<FdHandle>& fds);
  void readAnswers(Worker& worker);
  bool acceptAnswer(Worker& worker, const std::string& payload);
  // Has the parent end worker; its file at hand (if any) fails with outcome
  // and what, or with the signal that ended it; the rest of its batch goes
  // back to the head of the queue.
  void failWorker(Worker& worker, AnalysisOutcome outcome, const std::string& what);
  void endedWorker(pid_t pid, int status);
  // The parent is gone or has stopped answering: it is killed, with every
  // worker.
  void loseParent(const std::string& what);
  FileInfo recordOf(Ticket ticket) const;
  void finish(Ticket ticket, AnalysisResult result);
  void fail(Ticket ticket, AnalysisOutcome outcome, const std::string& reason);

  AnalysisParent parent;
  size_t workerLimit;
  int timeLimitSeconds;
  Ticket lastTicket = 0;
  std::deque<Ticket> queued;
  // Queued, with a worker or ending: the records sent, encoded.
  std::map<Ticket, std::string> pending;
  std::map<Ticket, AnalysisResult> done;
  std::vector<Worker> workers;
  std::vector<Ending> endings;
  size_t startsAsked = 0;     // Start questions not answered yet
  double parentDeadline = 0;  // for the next answer while a question is open
};

#endif  // OMBRIX_MEDIA_ANALYSISPOOL_H
