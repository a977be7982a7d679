// Sync/WatchSet.cpp: the polls of every waiting file.
#include "Sync/WatchSet.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "Common/AppStatus.h"
#include "Common/Logger.h"

namespace {

// About twenty minutes: a copy slower than that is catalogued as it stands.
constexpr int kMaxPolls = 1200;
constexpr double kFreshMinutes = 5.0;
constexpr double kFreshVideoMinutes = 30.0;
constexpr int64_t kPollIntervalMs = 1000;
// Files that joined within this much of each other are polled in the same
// round: a copy of many files is then polled in one sweep a second.
constexpr int64_t kRoundSlackMs = 100;

}  // namespace

WatchClock WatchClock::system() {
  return WatchClock{
      [] { return time(nullptr); },
      [] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
      },
      [](int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }};
}

bool WatchSet::isFresh(const FileInfo& info) const {
  time_t newest = std::max(info.mtime, info.ctime);
  double ageMinutes = difftime(clock.now(), newest) / 60;
  double limit = info.objType == ObjType::Video ? kFreshVideoMinutes : kFreshMinutes;
  return ageMinutes <= limit;
}

WatchSet::Id WatchSet::add(const FileInfo& info) {
  writeLog(LogId::WatchSize, std::to_string(info.fileSize));
  Id id = nextId++;
  members.emplace(id, Member(info, clock.steadyMs() + kPollIntervalMs));
  ++watching;
  return id;
}

int64_t WatchSet::msUntilDue() const {
  if (watching == 0) return -1;
  int64_t earliest = INT64_MAX;
  for (const auto& [id, member] : members) {
    if (member.state == State::Watching) earliest = std::min(earliest, member.dueMs);
  }
  return std::max<int64_t>(0, earliest - clock.steadyMs());
}

void WatchSet::waitAndPoll() {
  int64_t wait = msUntilDue();
  if (wait > 0) clock.sleepMs(wait);
  poll();
}

// A shutdown never waits for a copy: every watched file is given up at the
// next poll, and the next start's check enters it.
void WatchSet::poll() {
  bool isExiting = exitRequested();
  int64_t due = clock.steadyMs() + kRoundSlackMs;
  for (auto& [id, member] : members) {
    if (member.state != State::Watching) continue;
    if (isExiting) {
      writeLog(LogId::WatchAbandoned, member.info.fullPathName);
      member.state = State::Abandoned;
    } else if (member.dueMs <= due) {
      pollOne(member);
    }
    if (member.state != State::Watching) --watching;
  }
}

// Two polls in a row that see the size known before them mean the writer
// has finished. The watch ends at the first failed status read: the file is
// gone, and polling on would only write records for twenty minutes.
void WatchSet::pollOne(Member& member) {
  struct stat status;
  if (stat(member.info.fullPathName.c_str(), &status) != 0) {
    writeLog(LogId::WatchVanished, member.info.fullPathName);
    member.state = State::Vanished;
    return;
  }
  int64_t newSize = static_cast<int64_t>(status.st_size);
  if (newSize == member.size) {
    ++member.stableCount;
  } else {
    const LogRecord& changed = logRecord(LogId::SizeChanged);
    Logger::getInstance().writeLog(changed, std::to_string(member.size) + changed.text +
                                                std::to_string(newSize) + changed.tail);
    member.size = newSize;
    member.stableCount = 0;
    member.isGrowing = true;
  }
  if (member.stableCount >= 2 || member.polls >= kMaxPolls) {
    std::string fullPath = member.info.fullPathName;
    member.info.reset();
    member.info.fill(fullPath);
    member.state = State::Stable;
    return;
  }
  ++member.polls;
  writeLog(LogId::WatchSize, std::to_string(member.size));
  member.dueMs = clock.steadyMs() + kPollIntervalMs;
}

FileInfo WatchSet::take(Id id) {
  auto found = members.find(id);
  FileInfo info = std::move(found->second.info);
  if (found->second.state == State::Watching) --watching;
  members.erase(found);
  return info;
}
