// Sync/SizeWatch.cpp: the polls of one file.
#include "Sync/SizeWatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Media/FileInfo.h"

namespace {

// About twenty minutes: a copy slower than that is catalogued as it stands.
constexpr int kMaxPolls = 1200;
constexpr double kFreshMinutes = 5.0;
constexpr double kFreshVideoMinutes = 30.0;

}  // namespace

WatchClock WatchClock::system() {
  return WatchClock{[] { return time(nullptr); }, [] { sleep(1); }};
}

// Two polls in a row that see the size known before them mean the writer
// has finished. The watch stops at the first failed status read (the file
// is gone; polling on would only write records for twenty minutes) and at
// the exit flag, so a shutdown never waits for a copy.
SizeWatch::Result SizeWatch::waitForStableFile(FileInfo& info) {
  time_t newest = std::max(info.mtime, info.ctime);
  double ageMinutes = difftime(clock.now(), newest) / 60;
  double limit = info.objType == ObjType::Video ? kFreshVideoMinutes : kFreshMinutes;
  if (ageMinutes > limit) return Result::Stable;

  int64_t size = info.fileSize;
  int stable = 0;
  for (int poll = 0; poll < kMaxPolls && stable < 2; ++poll) {
    writeLog(LogId::WatchSize, std::to_string(size));
    clock.sleepOneSecond();
    if (AppStatus::getInstance().getAppExit()) {
      writeLog(LogId::WatchAbandoned, info.fullPathName);
      return Result::Abandoned;
    }
    struct stat status;
    if (stat(info.fullPathName.c_str(), &status) != 0) {
      writeLog(LogId::WatchVanished, info.fullPathName);
      return Result::Vanished;
    }
    int64_t newSize = static_cast<int64_t>(status.st_size);
    if (newSize == size) {
      ++stable;
      continue;
    }
    const LogRecord& changed = logRecord(LogId::SizeChanged);
    Logger::getInstance().writeLog(
        changed, std::to_string(size) + changed.text + std::to_string(newSize) + changed.tail);
    size = newSize;
    stable = 0;
  }
  std::string fullPath = info.fullPathName;
  info.reset();
  info.fill(fullPath);
  return Result::Stable;
}
