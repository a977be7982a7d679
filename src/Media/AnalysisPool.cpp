// Media/AnalysisPool.cpp: starting, feeding, watching and reaping the
// analysis helpers.
#include "Media/AnalysisPool.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
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

double monotonicNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// What FileInfo::analyze does once its analyser is through: details from the
// profile, for every kind it hands to an analyser. The daemon composes them
// itself rather than take a helper's text for them.
void completeDetails(FileInfo& info) {
  if (info.objType != ObjType::None && info.objType != ObjType::Playlist) info.composeDetails();
}

}  // namespace

AnalysisPool::AnalysisPool(std::vector<std::string> helperCommand, int helperCount, int timeLimit)
    : command(std::move(helperCommand)),
      helperLimit(static_cast<size_t>(std::max(helperCount, 1))),
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
  pending.emplace(ticket, info);
  queued.push_back(ticket);
  pump(0);  // also hands the next request to a helper that has answered meanwhile
  return ticket;
}

// Hands queued requests, oldest first, to idle helpers, starting helpers up
// to the limit. A request no helper can be started for fails at once, so
// that a missing helper costs each file its details but stalls nothing.
void AnalysisPool::dispatch() {
  removeEnded();
  while (!queued.empty()) {
    auto idle = std::find_if(helpers.begin(), helpers.end(),
                             [](const Helper& h) { return h.ticket == 0 && !h.isEnded; });
    if (idle == helpers.end() && helpers.size() >= helperLimit) return;
    Ticket ticket = queued.front();
    queued.pop_front();
    if (idle != helpers.end()) {
      send(*idle, ticket);
      removeEnded();
      continue;
    }
    Helper fresh;
    std::string errMsg;
    if (!startHelper(fresh, errMsg)) {
      fail(ticket, AnalysisOutcome::NotStarted, errMsg);
      continue;
    }
    helpers.push_back(std::move(fresh));
    send(helpers.back(), ticket);
    removeEnded();
  }
}

void AnalysisPool::removeEnded() {
  helpers.erase(
      std::remove_if(helpers.begin(), helpers.end(), [](const Helper& h) { return h.isEnded; }),
      helpers.end());
}

// The helper's standard input and output are pipes to us; standard error is
// ours, so whatever a library says there lands where the daemon's own
// messages do.
bool AnalysisPool::startHelper(Helper& helper, std::string& errMsg) {
  Pipe toHelper, fromHelper;
  if (!toHelper.open() || !fromHelper.open()) {
    errMsg = std::string("cannot create pipe: ") + strerror(errno);
    return false;
  }
  SpawnActions files;
  files.redirect(toHelper.readEnd.get(), STDIN_FILENO);
  files.redirect(fromHelper.writeEnd.get(), STDOUT_FILENO);
  // The daemon may be inside a signal-blocked section; the helper starts
  // with nothing blocked.
  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&helper.pid, argv[0], files.get(), attributes.get(), argv.data(), environ);
  if (rc != 0) {
    errMsg = std::string("cannot start analysis process: ") + strerror(rc);
    return false;
  }
  helper.requests = std::move(toHelper.writeEnd);
  helper.answers = std::move(fromHelper.readEnd);
  return true;
}

// A helper that died while idle shows up as a failed write; SIGPIPE is
// ignored for that one write so it cannot end the daemon. A request is far
// below a pipe's capacity and the helper has nothing else unread, so the
// write does not block.
void AnalysisPool::send(Helper& helper, Ticket ticket) {
  helper.ticket = ticket;
  helper.deadline = monotonicNow() + timeLimitSeconds;
  helper.received.clear();
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  bool isSent = AnalysisProtocol::sendMessage(helper.requests.get(),
                                              AnalysisProtocol::encodeRecord(pending.at(ticket)));
  sigaction(SIGPIPE, &previous, nullptr);
  if (!isSent) failHelper(helper, AnalysisOutcome::Died, "analysis process is gone");
}

void AnalysisPool::pump(int timeoutMs) {
  notifyProgress();  // a wait on a helper is bounded by the time limit
  dispatch();
  std::vector<struct pollfd> waits;
  std::vector<Helper*> waiting;
  double now = monotonicNow();
  int waitMs = timeoutMs;
  for (Helper& helper : helpers) {
    if (helper.ticket == 0) continue;
    waits.push_back({helper.answers.get(), POLLIN, 0});
    waiting.push_back(&helper);
    int untilLimit = static_cast<int>(std::max(0.0, helper.deadline - now) * 1000) + 1;
    waitMs = waitMs < 0 ? untilLimit : std::min(waitMs, untilLimit);
  }
  if (waits.empty()) return;
  if (poll(waits.data(), waits.size(), waitMs) < 0) return;  // a signal: the caller looks again
  now = monotonicNow();
  for (size_t i = 0; i < waits.size(); ++i) {
    Helper& helper = *waiting[i];
    if (waits[i].revents != 0) readAnswer(helper);
    if (helper.ticket != 0 && now >= helper.deadline) {
      failHelper(helper, AnalysisOutcome::TimedOut,
                 "analysis took longer than " + std::to_string(timeLimitSeconds) + " s");
    }
  }
  dispatch();
}

// One read per wake-up: poll said there is something, so it cannot block.
void AnalysisPool::readAnswer(Helper& helper) {
  char buffer[65536];
  ssize_t n = read(helper.answers.get(), buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    failHelper(helper, AnalysisOutcome::Died, "analysis process died");
    return;
  }
  helper.received.append(buffer, static_cast<size_t>(n));
  std::string payload;
  switch (AnalysisProtocol::unframe(helper.received, payload)) {
    case AnalysisProtocol::Unframed::Incomplete:
      return;
    case AnalysisProtocol::Unframed::TooLong:
      failHelper(helper, AnalysisOutcome::Garbage, "analysis process answered garbage");
      return;
    case AnalysisProtocol::Unframed::Complete:
      acceptAnswer(helper, payload);
      return;
  }
}

// One answer per request and nothing more: bytes beyond it mean the helper
// has lost its way. The answer only fills in the analysis fields of the
// record sent, and only those that pass their checks.
void AnalysisPool::acceptAnswer(Helper& helper, const std::string& payload) {
  AnalysisResult result;
  result.info = pending.at(helper.ticket);
  if (!helper.received.empty() ||
      !AnalysisProtocol::decodeAnswer(payload, result.info, result.records)) {
    failHelper(helper, AnalysisOutcome::Garbage, "analysis process answered garbage");
    return;
  }
  std::string refused = AnalysisCheck::refuseUnfounded(result.info);
  if (!refused.empty()) {
    result.records.push_back(
        {LogId::AnalysisFieldsRefused, result.info.fullPathName + " (" + refused + ")"});
  }
  completeDetails(result.info);
  result.outcome = AnalysisOutcome::Analysed;
  finish(std::exchange(helper.ticket, 0), std::move(result));
}

void AnalysisPool::failHelper(Helper& helper, AnalysisOutcome outcome, const std::string& what) {
  std::string reason = what;
  helper.requests.reset();
  helper.answers.reset();
  if (helper.pid > 0) {
    kill(helper.pid, SIGKILL);  // one that timed out or talks nonsense; a dead one is unmoved
    int status = 0;
    if (waitpid(helper.pid, &status, 0) == helper.pid && WIFSIGNALED(status) &&
        WTERMSIG(status) != SIGKILL) {
      reason = "analysis process killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    }
    helper.pid = -1;
  }
  helper.isEnded = true;
  if (helper.ticket != 0) fail(std::exchange(helper.ticket, 0), outcome, reason);
}

void AnalysisPool::endHelper(Helper& helper) {
  helper.requests.reset();  // an idle helper would exit on the end of its input anyway
  helper.answers.reset();
  if (helper.pid > 0) {
    kill(helper.pid, SIGKILL);
    waitpid(helper.pid, nullptr, 0);
    helper.pid = -1;
  }
  helper.isEnded = true;
}

void AnalysisPool::finish(Ticket ticket, AnalysisResult result) {
  pending.erase(ticket);
  done.emplace(ticket, std::move(result));
}

void AnalysisPool::fail(Ticket ticket, AnalysisOutcome outcome, const std::string& reason) {
  AnalysisResult result;
  result.outcome = outcome;
  result.info = pending.at(ticket);  // what fill() found: the defaults of every analysis field
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
  for (Helper& helper : helpers) endHelper(helper);
  helpers.clear();
  queued.clear();
  pending.clear();
  done.clear();
}
