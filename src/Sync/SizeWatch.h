// Sync/SizeWatch.h: waits until a freshly changed file has stopped growing.
//
// A file copied into a shared folder shows up while the copy still runs;
// analysing it then would read a half-written header. A file changed within
// the last five minutes (thirty for a video, which is large and slow to
// copy) is polled once a second until two polls in a row see the size known
// before them.
#ifndef OMBRIX_SYNC_SIZEWATCH_H
#define OMBRIX_SYNC_SIZEWATCH_H

#include <ctime>
#include <functional>

class FileInfo;

// The clock and the one-second sleep of the watch: the system's in the
// service; test builds put in a fake one so that a watch runs without
// waiting and files can be fresh or old at will.
struct WatchClock {
  std::function<time_t()> now;
  std::function<void()> sleepOneSecond;

  static WatchClock system();
};

class SizeWatch {
 public:
  enum class Result {
    Stable,     // the record describes the file as it is now
    Vanished,   // the file went away during the watch: not to be catalogued
    Abandoned,  // the exit flag was raised: left for the next start's check
  };

  // Returns at once for a file old enough for its kind; otherwise watches it
  // and refills info from the file once it is stable.
  Result waitForStableFile(FileInfo& info);

#ifdef OMBRIX_TEST_SEAMS
  void setClock(WatchClock newClock) {
    clock = std::move(newClock);
  }
#endif

 private:
  WatchClock clock = WatchClock::system();
};

#endif  // OMBRIX_SYNC_SIZEWATCH_H
