// Sync/Pipeline.cpp: moving steps through the watch and the analysis, and
// writing them in order.
#include "Sync/Pipeline.h"

#include <algorithm>

#include "Common/AppStatus.h"
#include "Sync/WriteGroup.h"

namespace {

// The longest single wait: the analysis helpers are asked again at least
// this often, and a watch poll that falls due is never late by more.
constexpr int64_t kLongestWaitMs = 1000;

}  // namespace

Pipeline::Pipeline(FileCataloguer& fileCataloguer, WriteGroup* writeGroup)
    : cataloguer(fileCataloguer), watch(fileCataloguer.watchSet()), group(writeGroup) {}

void Pipeline::addAction(std::function<void()> action) {
  Step step(Step::Stage::Action);
  step.action = std::move(action);
  steps.push_back(std::move(step));
}

void Pipeline::addFile(const FileInfo& info, std::function<void(const FileInfo&)> write) {
  Step step(Step::Stage::Analysing);
  step.write = std::move(write);
  if (watch.isFresh(info)) {
    step.stage = Step::Stage::Watching;
    step.watchId = watch.add(info);
  } else {
    step.ticket = cataloguer.submitAnalysis(info);
    ++analysing;
  }
  steps.push_back(std::move(step));
}

// Moves a file on as far as it can go without waiting. After a stop request
// a file whose row is not written yet is given up, analysed or not: the
// service must end at once, and the next start's check enters it.
void Pipeline::advance(Step& step) {
  bool isPending = step.stage == Step::Stage::Watching || step.stage == Step::Stage::Analysing;
  if (isPending && exitRequested()) {
    if (step.stage == Step::Stage::Watching) watch.take(step.watchId);
    if (step.stage == Step::Stage::Analysing) --analysing;
    step.stage = Step::Stage::Dropped;
    return;
  }
  if (step.stage == Step::Stage::Watching &&
      watch.state(step.watchId) != WatchSet::State::Watching) {
    bool isStable = watch.state(step.watchId) == WatchSet::State::Stable;
    FileInfo info = watch.take(step.watchId);
    if (!isStable) {
      step.stage = Step::Stage::Dropped;
      return;
    }
    step.ticket = cataloguer.submitAnalysis(info);
    step.stage = Step::Stage::Analysing;
    ++analysing;
  }
  if (step.stage == Step::Stage::Analysing && cataloguer.isAnalysed(step.ticket)) {
    step.info = cataloguer.takeAnalysis(step.ticket);
    step.stage = Step::Stage::Ready;
    --analysing;
  }
}

bool Pipeline::runIfReady(Step& step) {
  advance(step);
  switch (step.stage) {
    case Step::Stage::Action:
      step.action();
      return true;
    case Step::Stage::Ready:
      step.write(step.info);
      return true;
    case Step::Stage::Dropped:
      return true;
    default:
      return false;
  }
}

void Pipeline::runReady() {
  if (exitRequested()) {
    cataloguer.endAnalysis();
    watch.poll();  // gives every watched file up at once
  } else if (watch.msUntilDue() == 0) {
    watch.poll();
  }
  cataloguer.pumpAnalysis(0);
  while (!steps.empty()) {
    Step& head = steps.front();
    if (!runIfReady(head)) {
      if (head.stage != Step::Stage::Watching || !watch.isGrowing(head.watchId)) break;
      setAside.push_back(std::move(head));  // still being copied: let the others through
    }
    steps.pop_front();
  }
  for (auto step = setAside.begin(); step != setAside.end();) {
    step = runIfReady(*step) ? setAside.erase(step) : std::next(step);
  }
}

// An answer takes milliseconds, a poll of the watch up to a second. Rows
// written so far may wait in the open group for an answer (a commit of its
// own for each file would cost a sync each), but never past the group's
// age limit, so the media server is never held up longer than by writing;
// before a wait for the watch the group is committed.
void Pipeline::waitForProgress() {
  int64_t watchDue = watch.msUntilDue();
  if (!cataloguer.hasAnalysisInFlight()) {
    if (watchDue < 0) return;
    if (group != nullptr) group->commit();
    watch.waitAndPoll();
    return;
  }
  int64_t wait = kLongestWaitMs;
  if (watchDue >= 0) wait = std::min(wait, watchDue);
  int64_t groupDue = group != nullptr ? group->msUntilDue() : -1;
  if (groupDue >= 0) wait = std::min(wait, groupDue);
  cataloguer.pumpAnalysis(wait);
  if (group != nullptr) group->commitIfDue();
  if (watch.msUntilDue() == 0) watch.poll();
}

std::vector<std::string> Pipeline::finish() {
  auto isSettled = [this](const Step& step) {
    return step.stage != Step::Stage::Watching ||
           watch.state(step.watchId) != WatchSet::State::Watching;
  };
  for (runReady(); !steps.empty() || std::any_of(setAside.begin(), setAside.end(), isSettled);
       runReady()) {
    waitForProgress();
  }
  std::vector<std::string> unsettled;
  for (Step& step : setAside) unsettled.push_back(watch.take(step.watchId).fullPathName);
  setAside.clear();
  return unsettled;
}
