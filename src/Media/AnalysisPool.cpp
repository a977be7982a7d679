// Media/AnalysisPool.cpp: feeding and watching the analysis workers, and
// asking their parent for new ones.
#include "Media/AnalysisPool.h"

#include <limits.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include "Common/AppStatus.h"
#include "Common/Util.h"
#include "Media/AnalysisCheck.h"
#include "Media/AnalysisProtocol.h"

extern char** environ;

namespace {

constexpr const char* kHelperName = "ombrix-analyze";

// How long the parent may take to answer a question. Its first answer comes
// once it has loaded some 140 libraries (far longer under an emulator); its
// others are a fork or a reaping away.
constexpr double kParentLimitSeconds = 30;

double monotonicNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// What FileInfo::analyze does once its analyser is through: details from the
// profile, for every kind it hands to an analyser. The daemon composes them
// itself rather than take a worker's text for them.
void completeDetails(FileInfo& info) {
  if (info.objType != ObjType::None && info.objType != ObjType::Playlist) info.composeDetails();
}

// The reason a worker or a parent that ended with status gives: the signal
// that ended it, unless it was our own SIGKILL, which what already explains.
std::string describeEnd(int status, const std::string& what) {
  if (status == -1 || !WIFSIGNALED(status) || WTERMSIG(status) == SIGKILL) return what;
  return "analysis process killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
         strsignal(WTERMSIG(status)) + ")";
}

}  // namespace

AnalysisPool::AnalysisPool(std::vector<std::string> helperCommand, int workerCount, int timeLimit)
    : parent(std::move(helperCommand)),
      workerLimit(static_cast<size_t>(std::max(workerCount, 1))),
      timeLimitSeconds(timeLimit) {}

AnalysisPool::~AnalysisPool() {
  abandonAll();
}

std::string AnalysisPool::locateHelper() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string dir = length > 0 ? Util::getParentPath(std::string(buffer, length)) : ".";
  std::string beside = dir + "/" + kHelperName;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return dir + "/" + OMBRIX_HELPER_FROM_BINDIR + "/" + kHelperName;
}

AnalysisPool::Ticket AnalysisPool::submit(const FileInfo& info) {
  Ticket ticket = ++lastTicket;
  pending.emplace(ticket, AnalysisProtocol::encodeRecord(info));
  queued.push_back(ticket);
  pump(0);  // also hands the next request to a worker that has answered meanwhile
  return ticket;
}

// Hands queued requests, oldest first, to idle workers, and asks for
// workers up to the limit while requests are left.
void AnalysisPool::dispatch() {
  removeEnded();
  for (Worker& worker : workers) {
    if (queued.empty()) break;
    if (worker.batch.empty() && !worker.isEnded) send(worker);
  }
  removeEnded();
  askForWorkers();
}

// A parent that cannot be started fails every queued request at once, so
// that a missing helper costs each file its details but stalls nothing.
void AnalysisPool::askForWorkers() {
  while (!queued.empty() && runningWorkers() < workerLimit) {
    std::string errMsg;
    if (!parent.isRunning() && !parent.start(errMsg)) {
      while (!queued.empty()) {
        fail(queued.front(), AnalysisOutcome::NotStarted, errMsg);
        queued.pop_front();
      }
      return;
    }
    if (startsAsked++ == 0 && endings.empty())
      parentDeadline = monotonicNow() + kParentLimitSeconds;
    // A parent gone before its first worker costs the head of the queue.
    if (!parent.ask({WorkerControl::Kind::Start})) loseParent("analysis process is gone");
  }
}

size_t AnalysisPool::liveWorkers() const {
  return static_cast<size_t>(
      std::count_if(workers.begin(), workers.end(), [](const Worker& w) { return !w.isEnded; }));
}

void AnalysisPool::removeEnded() {
  workers.erase(
      std::remove_if(workers.begin(), workers.end(), [](const Worker& w) { return w.isEnded; }),
      workers.end());
}

// An even share of a deep queue, so that no worker waits while another
// holds a long batch; one file at a time when the queue is short. A worker
// answered everything it was sent, and a batch stays below half a pipe's
// usual capacity, so the write does not block. A worker that died while
// idle shows up as a failed write; SIGPIPE is ignored for that one write so
// it cannot end the daemon.
void AnalysisPool::send(Worker& worker) {
  constexpr size_t kMaxRequestBytes = 32 * 1024;
  size_t count = std::clamp<size_t>(queued.size() / workerLimit, 1, AnalysisProtocol::kMaxBatch);
  std::vector<std::string> records;
  size_t bytes = 0;
  while (records.size() < count && !queued.empty()) {
    const std::string& record = pending.at(queued.front());
    bytes += record.size();
    if (!records.empty() && bytes > kMaxRequestBytes) break;
    records.push_back(record);
    worker.batch.push_back(queued.front());
    queued.pop_front();
  }
  worker.deadline = monotonicNow() + timeLimitSeconds;
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  bool isSent = AnalysisProtocol::sendMessage(worker.requests.get(),
                                              AnalysisProtocol::encodeRequest(records));
  sigaction(SIGPIPE, &previous, nullptr);
  if (!isSent) failWorker(worker, AnalysisOutcome::Died, "analysis process is gone");
}

void AnalysisPool::pump(int timeoutMs) {
  notifyProgress();  // a wait on a worker is bounded by the time limit
  dispatch();
  bool isParentAsked = startsAsked > 0 || !endings.empty();
  bool isWorking =
      std::any_of(workers.begin(), workers.end(), [](const Worker& w) { return !w.batch.empty(); });
  if (!isParentAsked && !isWorking) return;
  // Idle workers are watched too: one that dies or talks while it has
  // nothing to do is ended before it is given a file.
  std::vector<struct pollfd> waits{{parent.controlFd(), POLLIN, 0}};
  const double now = monotonicNow();
  double due = isParentAsked ? parentDeadline : now + 3600;
  for (const Worker& worker : workers) {
    waits.push_back({worker.answers.get(), POLLIN, 0});
    if (!worker.batch.empty()) due = std::min(due, worker.deadline);
  }
  int untilDue = static_cast<int>(std::max(0.0, due - now) * 1000) + 1;
  int waitMs = timeoutMs < 0 ? untilDue : std::min(timeoutMs, untilDue);
  if (poll(waits.data(), waits.size(), waitMs) < 0) return;  // a signal: the caller looks again
  const size_t watched = workers.size();                     // readControl may add workers
  if (waits[0].revents != 0) readControl();
  for (size_t i = 0; i < watched && i < workers.size(); ++i) {
    if (waits[i + 1].revents != 0 && !workers[i].isEnded) readAnswers(workers[i]);
  }
  const double later = monotonicNow();
  for (Worker& worker : workers) {
    if (!worker.isEnded && !worker.batch.empty() && later >= worker.deadline) {
      failWorker(worker, AnalysisOutcome::TimedOut,
                 "analysis took longer than " + std::to_string(timeLimitSeconds) + " s");
    }
  }
  if ((startsAsked > 0 || !endings.empty()) && later >= parentDeadline) {
    loseParent("analysis process did not answer");
  }
  dispatch();
}

// One answer of the parent's: a new worker, a worker it could not fork, or
// how a worker it ended had ended.
void AnalysisPool::readControl() {
  WorkerControl::Message answer;
  std::vector<FdHandle> fds;
  WorkerControl::Received got = parent.receive(answer, fds);
  if (got == WorkerControl::Received::Closed) {
    loseParent("analysis process is gone");
    return;
  }
  using Kind = WorkerControl::Kind;
  bool isExpected = got == WorkerControl::Received::Message &&
                    (answer.kind == Kind::Started       ? startsAsked > 0 && fds.size() == 2
                     : answer.kind == Kind::StartFailed ? startsAsked > 0 && fds.empty()
                     : answer.kind == Kind::Ended       ? fds.empty()
                                                        : false);
  if (!isExpected) {
    loseParent("analysis process answered garbage");
    return;
  }
  if (answer.kind == Kind::Ended) {
    endedWorker(answer.first, answer.second);
  } else if (answer.kind == Kind::Started) {
    --startsAsked;
    addWorker(answer.first, fds);
  } else {
    // With no worker at all, the file at the head of the queue pays, so
    // that a parent that cannot fork stalls nothing.
    --startsAsked;
    if (liveWorkers() == 0 && startsAsked == 0 && !queued.empty()) {
      fail(queued.front(), AnalysisOutcome::NotStarted,
           std::string("cannot start analysis process: ") + strerror(answer.first));
      queued.pop_front();
    }
  }
  if (startsAsked > 0 || !endings.empty()) parentDeadline = monotonicNow() + kParentLimitSeconds;
}

void AnalysisPool::addWorker(pid_t pid, std::vector<FdHandle>& fds) {
  Worker worker;
  worker.pid = pid;
  worker.requests = std::move(fds[0]);
  worker.answers = std::move(fds[1]);
  workers.push_back(std::move(worker));
}

// Takes every whole answer one read brings, in the order of the batch.
// Bytes beyond the last file's answer, or an answer while nothing is asked,
// mean the worker has lost its way.
void AnalysisPool::readAnswers(Worker& worker) {
  char buffer[65536];
  ssize_t n = read(worker.answers.get(), buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    failWorker(worker, AnalysisOutcome::Died, "analysis process died");
    return;
  }
  worker.received.append(buffer, static_cast<size_t>(n));
  std::string payload;
  for (;;) {
    if (worker.batch.empty()) {
      failWorker(worker, AnalysisOutcome::Garbage, "analysis process answered garbage");
      return;
    }
    switch (AnalysisProtocol::unframe(worker.received, payload)) {
      case AnalysisProtocol::Unframed::Incomplete:
        return;
      case AnalysisProtocol::Unframed::TooLong:
        failWorker(worker, AnalysisOutcome::Garbage, "analysis process answered garbage");
        return;
      case AnalysisProtocol::Unframed::Complete:
        if (!acceptAnswer(worker, payload)) return;
        if (worker.batch.empty() && worker.received.empty()) return;
    }
  }
}

// The answer only fills in the analysis fields of the record sent, and only
// those that pass their checks. An answer that is not whole and well formed
// costs its own file and ends the worker.
bool AnalysisPool::acceptAnswer(Worker& worker, const std::string& payload) {
  AnalysisResult result;
  result.info = recordOf(worker.batch.front());
  if (!AnalysisProtocol::decodeAnswer(payload, result.info, result.records)) {
    failWorker(worker, AnalysisOutcome::Garbage, "analysis process answered garbage");
    return false;
  }
  std::string refused = AnalysisCheck::refuseUnfounded(result.info);
  if (!refused.empty()) {
    result.records.push_back(
        {LogId::AnalysisFieldsRefused, result.info.fullPathName + " (" + refused + ")"});
  }
  completeDetails(result.info);
  result.outcome = AnalysisOutcome::Analysed;
  finish(worker.batch.front(), std::move(result));
  worker.batch.pop_front();
  worker.deadline = monotonicNow() + timeLimitSeconds;
  return true;
}

void AnalysisPool::failWorker(Worker& worker, AnalysisOutcome outcome, const std::string& what) {
  worker.requests.reset();
  worker.answers.reset();
  worker.isEnded = true;
  Ticket ticket = 0;
  if (!worker.batch.empty()) {
    ticket = worker.batch.front();
    worker.batch.pop_front();
  }
  queued.insert(queued.begin(), worker.batch.begin(), worker.batch.end());
  worker.batch.clear();
  if (!parent.ask({WorkerControl::Kind::End, worker.pid})) {
    if (ticket != 0) fail(ticket, outcome, what);
    loseParent("analysis process is gone");
    return;
  }
  if (startsAsked == 0 && endings.empty()) parentDeadline = monotonicNow() + kParentLimitSeconds;
  endings.push_back({worker.pid, ticket, outcome, what});
}

void AnalysisPool::endedWorker(pid_t pid, int status) {
  auto ending =
      std::find_if(endings.begin(), endings.end(), [pid](const Ending& e) { return e.pid == pid; });
  if (ending == endings.end()) return;
  if (ending->ticket != 0)
    fail(ending->ticket, ending->outcome, describeEnd(status, ending->reason));
  endings.erase(ending);
}

// The workers die with the parent: each one's file at hand fails, the rest
// of its batch goes back to the queue. While no worker ever came, the file
// at the head of the queue fails too, so that a parent that ends at once (a
// broken installation) costs each file its details but stalls nothing.
void AnalysisPool::loseParent(const std::string& what) {
  const bool hadWorkers = liveWorkers() > 0;
  const std::string reason = describeEnd(parent.kill(), what);
  for (Worker& worker : workers) {
    if (worker.isEnded) continue;
    worker.isEnded = true;
    if (worker.batch.empty()) continue;
    fail(worker.batch.front(), AnalysisOutcome::Died, reason);
    queued.insert(queued.end(), worker.batch.begin() + 1, worker.batch.end());
  }
  std::sort(queued.begin(), queued.end());  // tickets are in submission order
  for (const Ending& ending : endings) {
    if (ending.ticket != 0) fail(ending.ticket, ending.outcome, ending.reason);
  }
  endings.clear();
  if (!hadWorkers && startsAsked > 0 && !queued.empty()) {
    fail(queued.front(), AnalysisOutcome::NotStarted, reason);
    queued.pop_front();
  }
  startsAsked = 0;
}

// The record as submitted. It is kept encoded, at half the size of a
// record: a walk has some two thousand in flight. The bytes are our own, so
// they always decode.
FileInfo AnalysisPool::recordOf(Ticket ticket) const {
  FileInfo info;
  (void)AnalysisProtocol::decodeRecord(pending.at(ticket), info);
  return info;
}

void AnalysisPool::finish(Ticket ticket, AnalysisResult result) {
  pending.erase(ticket);
  done.emplace(ticket, std::move(result));
}

void AnalysisPool::fail(Ticket ticket, AnalysisOutcome outcome, const std::string& reason) {
  AnalysisResult result;
  result.outcome = outcome;
  result.info = recordOf(ticket);  // what fill() found: the defaults of every analysis field
  completeDetails(result.info);
  result.reason = reason;
  finish(ticket, std::move(result));
}

void AnalysisPool::wait(Ticket ticket) {
  while (!isDone(ticket) && pending.count(ticket) != 0) pump(-1);
}

AnalysisResult AnalysisPool::take(Ticket ticket) {
  wait(ticket);
  auto found = done.find(ticket);
  if (found == done.end()) {
    AnalysisResult unknown;
    unknown.reason = "no such analysis request";
    return unknown;
  }
  AnalysisResult result = std::move(found->second);
  done.erase(found);
  return result;
}

void AnalysisPool::abandonAll() {
  workers.clear();  // each worker ends at the end of its input, or with the parent
  parent.end();
  endings.clear();
  startsAsked = 0;
  queued.clear();
  pending.clear();
  done.clear();
}
